#include "cfg_batch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <apr_strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <vector>

#include "cfg_certs.h"
#include "cfg_log.h"
#include "cfg_locks.h"
#include "cfg_settings_file.h"
#include "cfg_webapps.h"
#include "kel_config.h"
#include "kel_dirs.h"
#include "kel_files.h"
#include "kel_xml.h"

namespace {

constexpr size_t kEscapedLimit = 4095;
constexpr size_t kIniPiece = 511;
constexpr const char kSection[] = "[VEXDConfiguration]";
constexpr char kReloadNotice[] = "GET /Proxy/ReloadIniFile HTTP/1.0\r\n";  // sent with its zero byte
constexpr int kNoticeWaitSeconds = 2;

struct Alias {
  const char* legacy;
  const char* setting;
};
constexpr Alias kAliases[] = {
    {"AnonymousAccess", "anonymous-access"},       {"LocalAccessEnabled", "localaccess-enabled"},
    {"LocalAccessType", "localaccess-type"},       {"IPRestriction", "ip-restricted-logins"},
    {"AdministratorIPExclude", "ip-restricted-exclude"}, {"AdministratorIPInclude", "ip-restricted-include"},
};

KelSetting* SettingForKey(KelConfigServerConfig* config, const char* key) {
  if (KelSetting* s = FindSetting(config, key)) return s;
  for (const Alias& a : kAliases)
    if (apr_strnatcasecmp(a.legacy, key) == 0) return FindSetting(config, a.setting);
  return nullptr;
}

std::string TextOf(const char* name) {
  KelSetting* s = FindSetting(g_currentConfig, name);
  if (!s) return "";
  std::vector<char> buf(s->maxLength + 1);
  s->getText(s, buf.data(), buf.size());
  return buf.data();
}

// A line as the web server's configuration reader gives it: no line end,
// no white space around it.
std::string Trim(const std::string& line) {
  size_t b = line.find_first_not_of(" \t\r\n\f\v");
  if (b == std::string::npos) return "";
  size_t e = line.find_last_not_of(" \t\r\n\f\v");
  return line.substr(b, e - b + 1);
}

bool ReadPieces(const std::string& path, std::vector<std::string>* lines) {
  FILE* f = OpenFileUnprotected(path.c_str(), "r");
  if (!f) f = OpenFileUnprotected(path.c_str(), "r");  // once more
  if (!f) return false;
  char piece[kIniPiece + 1];
  while (fgets(piece, sizeof piece, f)) lines->push_back(Trim(piece));
  fclose(f);
  return true;
}

}  // namespace

std::string NormaliseCertificateText(const std::string& value) {
  std::string text = value;
  for (size_t at = text.find("+CERTIFICATE"); at != std::string::npos; at = text.find("+CERTIFICATE", at + 1))
    text[at] = ' ';
  std::string out;
  size_t escaped = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    bool bareLf = text[i] == '\n' && (i == 0 || text[i - 1] != '\r');
    size_t cost = bareLf ? 6 : (text[i] == ' ' || text[i] == '\r' || text[i] == '\n' ? 3 : 1);
    if (escaped + cost > kEscapedLimit) break;
    escaped += cost;
    if (bareLf) out += '\r';
    out += text[i];
  }
  return out;
}

namespace {

// A setting of the batch whose value passed its rule.
struct AcceptedValue {
  KelSetting* setting;
  std::string text;         // as the rule left it: what the file gets
  std::vector<char> stored; // what memory gets
};

// Puts the staged certificates into the store. Without group
// configuration the batch's certificates replace the listed ones: the new
// files go in first (renames over their names), and only when all of them
// are in do the old files that none replaced go, so a failure never leaves
// the store with fewer certificates than it had. The list changes once, at
// the end: a reader sees the old certificates or the new ones.
bool CommitCertificates(apr_pool_t* pool, KelConfigServerConfig* config, std::vector<StagedCertificate>* staged,
                        bool store, bool group) {
  std::set<std::string> leaving;
  if (!group) {
    if (!pool) return false;
    TrustedCert* list = nullptr;
    int n = ListCertificates(pool, config, &list);
    for (int i = 0; i < n; ++i)
      if (list[i].path[0]) leaving.insert(list[i].path);
  }
  KelLockHold hold(g_kelLocks.rawCertLock, true);
  bool ok = true;
  std::vector<std::string> staging;  // group configuration's ".pem.ras" files of this batch
  std::vector<StagedCertificate> arriving;
  for (const StagedCertificate& c : *staged) {
    std::string path;
    if (ok && CommitCertificate(config, c, false, group, leaving, &path) == KEL_CERT_OK) {
      leaving.erase(path);  // replaced by the new file, not deleted
      staging.push_back(path);
      if (store) arriving.push_back(StagedCertificate{path, c.cn, c.pem});
    } else {
      ok = false;
    }
    DiscardCertificate(c);  // nothing when it was committed
  }
  // What was committed is listed even when a later one failed: its file is in the store.
  if (ok && !group) ok = ReplaceCertificates(config, arriving, leaving, store) == 1;
  else if (!arriving.empty()) ReplaceCertificates(config, arriving, {}, store);
  // A batch that failed half-way stages none of its certificates: the
  // next ApplyToAll must not activate a part of it.
  if (!ok && group)
    for (const std::string& path : staging) unlink(path.c_str());
  return ok;
}

// Checks and stages the batch's certificates; false when one is refused.
// This is file work of the batch's own (unique staged names), done before
// the batch waits for its turn.
bool StageBatchCertificates(const apr_table_entry_t* entries, int count, std::vector<StagedCertificate>* staged) {
  bool accepted = true;
  for (int i = 0; i < count; ++i) {
    if (!entries[i].key || !strstr(entries[i].key, "ZQCert")) continue;
    StagedCertificate c;
    if (StageCertificate(NormaliseCertificateText(entries[i].val ? entries[i].val : "").c_str(), &c) == KEL_CERT_OK)
      staged->push_back(c);
    else
      accepted = false;
  }
  return accepted;
}

void DiscardCertificates(const std::vector<StagedCertificate>& staged) {
  for (const StagedCertificate& c : staged) DiscardCertificate(c);
}

}  // namespace

int SetMultipleKELCfgValue(apr_pool_t* pool, KelConfigServerConfig* config, apr_table_t* batch, int flags,
                           int* restartNeeded, void (*sink)(void*, const char*), void* context) {
  if (!config || !batch) return 0;
  bool store = flags & kBatchStore;
  bool write = flags & kBatchWrite;
  bool group = flags & kBatchGroupConfig;
  const apr_array_header_t* pairs = apr_table_elts(batch);
  auto* entries = reinterpret_cast<const apr_table_entry_t*>(pairs->elts);
  std::vector<StagedCertificate> certificates;
  bool accepted = StageBatchCertificates(entries, pairs->nelts, &certificates) && pairs->nelts > 0;

  int result = 1;
  {
    // One batch at a time; values change only under this lock, so they are
    // read here without the settings lock, which readers hold.
    KelLockHold turn(g_kelLocks.batchLock, true);
    std::string path = KelSettingsFilePath();
    std::unique_ptr<kel::XmlDocument> doc;
    if (write) {
      doc = kel::XmlDocument::Load(path.c_str());
      if (!doc) {
        DiscardCertificates(certificates);
        LogOutput(2, "SetMultipleKELCfgValue: the KEL configuration file %s could not be read; nothing changed.",
                  path.c_str());
        return 0;
      }
    }

    // Every value is checked, certificates included; nothing changes until
    // all of them passed.
    std::vector<AcceptedValue> values;
    for (int i = 0; i < pairs->nelts; ++i) {
      const char* key = entries[i].key;
      const char* value = entries[i].val ? entries[i].val : "";
      if (!key) continue;
      KelSetting* s = SettingForKey(config, key);
      if (!s) continue;
      AcceptedValue v{s, value, {}};
      bool valid = CheckSettingValue(s, &v.text, &v.stored);
      ConfigDebugLine(sink, context, "SetMultipleKELCfgValue validate: name:%s  value:%s\n", s->name, value);
      if (valid)
        values.push_back(std::move(v));
      else
        LogOutput(2, "Setting %s in KEL internal configuration failed.", s->name);
      accepted = accepted && valid;
      if (s->restartRequired && restartNeeded) *restartNeeded = 1;
    }
    if (!accepted) {
      DiscardCertificates(certificates);
      if (pairs->nelts > 0) LogOutput(2, "SetMultipleKELCfgValue: the batch was refused; nothing changed.");
      return 0;
    }

    // Then the file, in one replacement: a failure leaves it, the store and
    // memory as they were.
    if (write && !values.empty()) {
      for (const AcceptedValue& v : values) {
        SetSettingElement(doc.get(), v.setting->name, v.text.c_str());
        ConfigDebugLine(sink, context, "SetMultipleKELCfgValue: validation is successful, write to XML file.\n");
      }
      if (!SaveSettingsFile(*doc, path)) {
        DiscardCertificates(certificates);
        return 0;
      }
    }
    if (!certificates.empty() && !CommitCertificates(pool, config, &certificates, store, group)) result = 0;
    // Memory follows the file, all values of the batch at once.
    if (store) {
      KelLockHold hold(g_kelLocks.settingsLock, true);
      for (const AcceptedValue& v : values) PutSettingValue(v.setting, v.stored);
    }
    if (write) {
      doc.reset();
      WriteLegacyIniMirror(pool);
    }
  }
  // The notice waits for each agent's answer; no one else waits for it.
  if (write) SendReloadNotice(pool, config);
  return result;
}

bool RewriteIniSection(const std::string& iniPath, const IniPair* pairs, size_t count) {
  std::vector<std::string> lines;
  if (!ReadPieces(iniPath, &lines)) return false;  // never created here
  std::string out;
  size_t i = 0;
  for (; i < lines.size(); ++i) {
    out += lines[i] + "\n";
    if (lines[i].find(kSection) != std::string::npos) {
      ++i;
      break;
    }
  }
  auto pairLines = [&] {
    for (size_t p = 0; p < count; ++p)
      if (!pairs[p].value.empty()) out += std::string(pairs[p].key) + "=" + pairs[p].value + "\n";
  };
  bool closed = false;
  for (; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (closed) {
      out += line + "\n";
    } else if (line.empty()) {
      continue;
    } else if (line[0] == '[') {
      pairLines();
      out += "\n" + line + "\n";
      closed = true;
    } else {
      bool mirrored = false;
      for (size_t p = 0; p < count; ++p)
        if (line.compare(0, strlen(pairs[p].key), pairs[p].key) == 0) mirrored = true;
      if (!mirrored) out += line + "\n";
    }
  }
  if (!closed) pairLines();
  // Readers (the legacy agents) see the old file or the new one, never a part.
  if (AtomicWriteFile(iniPath.c_str(), out.data(), out.size()) == 0) return true;
  LogOutput(2, "WriteLegacyIniMirror: %s could not be rewritten.", iniPath.c_str());
  return false;
}

void WriteLegacyIniMirror(apr_pool_t*) {
  char wbem[kKelPathMax];
  GetWbemDir(wbem, sizeof wbem);
  std::string dir = std::string(wbem) + "/homepage";
  std::string enabled = TextOf("localaccess-enabled");
  std::string type = TextOf("localaccess-type");
  IniPair x[] = {{"LocalAccessEnabled", enabled}, {"LocalAccessType", type}};
  RewriteIniSection(dir + "/drkvexdx.ini", x, 2);
  bool localSecurity = strcasecmp(type.c_str(), "Administrator") == 0 && strcasecmp(enabled.c_str(), "true") == 0;
  IniPair d[] = {{"AnonymousAccess", TextOf("anonymous-access")}, {"LocalSecurityAccess", localSecurity ? "True" : ""}};
  RewriteIniSection(dir + "/drkvexd.ini", d, 2);
}

void SendReloadNotice(apr_pool_t* pool, KelConfigServerConfig* config) {
  apr_pool_t* sub;
  if (apr_pool_create(&sub, pool) != APR_SUCCESS) return;
  WebApp* list = nullptr;
  int n = ListWebApps(sub, config, &list);
  for (int i = 0; i < n; ++i) {
    if (list[i].vexoPort == 0 || list[i].vexoPort > 65535) continue;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    timeval tv{kNoticeWaitSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(list[i].vexoPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        send(fd, kReloadNotice, sizeof kReloadNotice, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof kReloadNotice)) {
      // The answer is read for at most the wait and dropped.
      char discard[4096];
      recv(fd, discard, sizeof discard, 0);
    }
    shutdown(fd, SHUT_WR);
    close(fd);
  }
  apr_pool_destroy(sub);
}
