#include "aa_pam.h"

#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>

namespace {

struct Credentials {
  const char* user;
  const char* password;
};

// Answers the prompts: the password where the input is hidden, the user
// name where it is shown; informational messages get no answer.
int Converse(int count, const struct pam_message** messages, struct pam_response** responses, void* data) {
  if (count <= 0 || count > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
  auto* creds = static_cast<Credentials*>(data);
  auto* out = static_cast<pam_response*>(calloc(count, sizeof(pam_response)));
  if (!out) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    const char* answer = nullptr;
    switch (messages[i]->msg_style) {
      case PAM_PROMPT_ECHO_OFF: answer = creds->password; break;
      case PAM_PROMPT_ECHO_ON: answer = creds->user; break;
      default: break;
    }
    if (answer && !(out[i].resp = strdup(answer))) {
      for (int j = 0; j < i; ++j) free(out[j].resp);
      free(out);
      return PAM_BUF_ERR;
    }
  }
  *responses = out;
  return PAM_SUCCESS;
}

// Modules ask for a delay after a failure (pam_unix about two seconds, at
// random); the login gate answers every refusal at one time of its own, so
// the delay PAM would add is left out here.
void NoFailDelay(int, unsigned, void*) {}

}  // namespace

int PamAuthenticate(const char* service, const char* user, const char* password) {
  if (!service || !user || !*user || !password) return 0;
  Credentials creds{user, password};
  struct pam_conv conv{Converse, &creds};
  pam_handle_t* pamh = nullptr;
  if (pam_start(service, user, &conv, &pamh) != PAM_SUCCESS) return 0;
  int rc = pam_set_item(pamh, PAM_FAIL_DELAY, reinterpret_cast<const void*>(&NoFailDelay));
  if (rc == PAM_SUCCESS) rc = pam_authenticate(pamh, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  if (rc == PAM_SUCCESS) rc = pam_acct_mgmt(pamh, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  pam_end(pamh, rc);
  return rc == PAM_SUCCESS ? 1 : 0;
}
