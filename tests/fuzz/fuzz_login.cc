// The login form on any bytes: user and password as the login layer reads
// them from the body, carried to the password helper and read back there
// unchanged (or refused as a whole); and the helper's reader on any bytes.
#include <cstdlib>
#include <vector>

#include "aa_authhelper.h"
#include "fuzz_env.h"
#include "kel_form.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body = kelfuzz::Text(data, size);
  LoginRequest q;
  q.address = "127.0.0.1";
  q.user = KelFormField(body, "user");
  q.password = KelFormField(body, "password");
  q.levels.adminGroups = "wheel";
  q.refuseAdministrator = size & 1;
  std::string wire = EncodeLoginRequest(q);
  LoginRequest back;
  bool read = DecodeLoginRequest(std::vector<char>(wire.begin(), wire.end()), &back);
  // Fields over the helper's limit refuse the request; anything else
  // arrives as it was sent.
  bool fits = q.user.size() <= 2048 && q.password.size() <= 2048;
  if (read != fits) abort();
  if (read && (back.user != q.user || back.password != q.password || back.address != q.address ||
               back.levels.adminGroups != q.levels.adminGroups || back.refuseAdministrator != q.refuseAdministrator))
    abort();
  LoginRequest raw;
  DecodeLoginRequest(std::vector<char>(body.begin(), body.end()), &raw);
  return 0;
}
