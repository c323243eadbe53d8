#include "cfg_keldata.h"

#include "cfg_locks.h"
#include "kel_form.h"

std::vector<std::string> KelDataQueryPieces(const char* query) {
  std::vector<std::string> pieces;
  if (!query) return pieces;
  std::string text = query;
  KelUrlDecode(&text);
  size_t start = 0;
  while (start <= text.size()) {
    size_t amp = text.find('&', start);
    std::string piece = text.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
    if (!piece.empty()) pieces.push_back(piece);
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
  return pieces;
}

std::string KelDataScript(KelConfigServerConfig* config, const std::vector<std::string>& pieces) {
  std::string out;
  KelLockHold hold(g_kelLocks.settingsLock, false);
  for (size_t i = 1; i < pieces.size(); ++i) {
    KelSetting* s = FindSetting(config, pieces[i].c_str());
    if (s && s->printScript) out += s->printScript(s);
  }
  return out;
}

bool ReadKelDataForm(const std::string& body, apr_table_t* form) {
  size_t start = 0;
  while (start < body.size()) {
    size_t amp = body.find('&', start);
    std::string pair = body.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
    start = amp == std::string::npos ? body.size() : amp + 1;
    size_t eq = pair.find('=');
    std::string key = pair.substr(0, eq);
    if (key.empty()) break;
    std::string value = eq == std::string::npos ? "" : pair.substr(eq + 1);
    // Markup or a query in a value: the whole form is refused.
    if (!KelFormDecode(&value) || value.find_first_of("<?>") != std::string::npos) return false;
    apr_table_set(form, key.c_str(), value.c_str());
  }
  return true;
}
