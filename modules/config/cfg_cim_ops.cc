#include "cfg_cim_ops.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

#include "cfg_batch.h"
#include "cfg_certs.h"
#include "cfg_locks.h"
#include "cfg_log.h"
#include "kel_config.h"
#include "kel_dirs.h"
#include "kel_files.h"
#include "kel_xml.h"

namespace {

constexpr const char kRasPattern[] = "*.pem.ras";
constexpr size_t kRasExtra = 4;  // ".ras"

std::atomic<int> g_responseForm{static_cast<int>(CimFraming::kImethodCall)};

// The ModifyInstance requests being applied, newest last.
struct PendingRequest {
  int messageId;
  apr_table_t* properties;
};
std::vector<PendingRequest> g_pending;

// Certificates change seldom and enumerations are frequent: their encoded
// values are kept, by PEM text, for as long as the store holds few enough.
constexpr size_t kEncodedCacheLimit = 512;
std::mutex g_encodedLock;
std::unordered_map<std::string, std::string> g_encoded;

std::string EncodedValue(const std::string& pem) {
  {
    std::lock_guard<std::mutex> hold(g_encodedLock);
    auto found = g_encoded.find(pem);
    if (found != g_encoded.end()) return found->second;
  }
  std::string value = CimCertificateValue(pem);
  std::lock_guard<std::mutex> hold(g_encodedLock);
  if (g_encoded.size() >= kEncodedCacheLimit) g_encoded.clear();
  g_encoded.emplace(pem, value);
  return value;
}

std::string WriteDir() {
  char dir[kKelPathMax];
  GetWriteDir(dir, sizeof dir);
  return dir;
}

const char* FormElement() { return CimResponseElement(CimResponseForm() == CimFraming::kMethodCall); }

}  // namespace

CimFraming CimResponseForm() { return static_cast<CimFraming>(g_responseForm.load()); }
void SetCimResponseForm(CimFraming form) { g_responseForm = static_cast<int>(form); }

std::string CimFormedSimple(int messageId, const char* method) {
  if (CimResponseForm() == CimFraming::kNeither) return "";
  return CimSimpleResponse(CimDialect::kLegacy, messageId, FormElement(), method);
}

std::string CimFormedError(int messageId, const char* method, int code, const char* description) {
  if (CimResponseForm() == CimFraming::kNeither) return "";
  return CimErrorResponse(CimDialect::kLegacy, messageId, FormElement(), method, code, description);
}

std::string CimomXmlPath() { return WriteDir() + "/conf/cimom.xml"; }
std::string CimTracePath() { return WriteDir() + "/temp/gc.dbg"; }

void CimTrace(const char* label, const std::string& text) {
  if (!DebugCategory(KEL_DEBUG_CONFIG)) return;
  std::string dir = WriteDir() + "/temp";
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) MakeDir(dir.c_str());
  FilePtr f(fopen(CimTracePath().c_str(), "ab"));
  if (!f) return;
  fputs(label, f.get());
  fwrite(text.data(), 1, text.size(), f.get());
}

CimSnapshot TakeCimSnapshot(KelConfigServerConfig* config) {
  CimSnapshot snapshot;
  {
    KelLockHold hold(g_kelLocks.settingsLock, false);
    for (const CimProperty& p : CimPropertyTable()) {
      std::string text;
      if (KelSetting* s = FindSetting(config, p.setting)) {
        std::vector<char> buf(static_cast<size_t>(s->maxLength) + 1);
        s->getText(s, buf.data(), buf.size());
        text = buf.data();
      }
      if (p.commaList) std::replace(text.begin(), text.end(), ';', ',');
      snapshot.values.push_back(text);
    }
  }
  if (config) {
    KelLockHold hold(g_kelLocks.certLock, false);
    auto* certs = reinterpret_cast<const TrustedCert*>(config->trustedCerts->elts);
    for (int i = 0; i < config->trustedCerts->nelts; ++i)
      snapshot.certificates.push_back({certs[i].pem, certs[i].cn, ""});
  }
  for (CimCertificate& c : snapshot.certificates) c.value = EncodedValue(c.pem);
  return snapshot;
}

namespace {

// The last enumeration's body, kept until a setting or certificate changes:
// management servers poll, and most of the body is the certificates' text.
struct KeptEnumeration {
  std::mutex lock;
  const KelConfigServerConfig* config = nullptr;
  unsigned long writes = 0;
  std::shared_ptr<const std::string> body;
};
KeptEnumeration g_keptEnumeration;

std::shared_ptr<const std::string> EnumerationBody(KelConfigServerConfig* config) {
  unsigned long writes = g_kelLockedWrites.load();
  {
    std::lock_guard<std::mutex> hold(g_keptEnumeration.lock);
    if (g_keptEnumeration.body && g_keptEnumeration.config == config && g_keptEnumeration.writes == writes)
      return g_keptEnumeration.body;
  }
  auto body = std::make_shared<const std::string>(CimEnumerationBody(TakeCimSnapshot(config)));
  if (g_kelLockedWrites.load() == writes) {
    std::lock_guard<std::mutex> hold(g_keptEnumeration.lock);
    g_keptEnumeration.config = config;
    g_keptEnumeration.writes = writes;
    g_keptEnumeration.body = body;
  }
  return body;
}

}  // namespace

std::string CimEnumerate(KelConfigServerConfig* config, int messageId, CimDialect dialect) {
  try {
    std::shared_ptr<const std::string> body = EnumerationBody(config);
    return CimEnumerationHead(messageId) + *body;
  } catch (const std::exception& e) {
    LogOutput(2, "EnumerateInstances: the response could not be built (%s).", e.what());
    const char* description = CimErrorDescription(5);
    return dialect == CimDialect::kLegacy
               ? CimFormedError(messageId, "EnumerateInstance", 1, description)
               : CimErrorResponse(dialect, messageId, CimResponseElement(false), "EnumerateInstance", 1, description);
  }
}

CimOutcome CimModifyInstance(apr_pool_t* pool, KelConfigServerConfig* config, const std::string& body, int messageId,
                             CimDialect dialect, CimFraming* requestFraming, void (*sink)(void*, const char*),
                             void* context) {
  CimOutcome outcome;
  std::unique_ptr<kel::XmlDocument> doc;
  std::string error;
  {
    // One request at a time passes through the file.
    KelLockHold hold(g_kelLocks.groupConfigLock, true);
    std::string path = CimomXmlPath();
    if (AtomicWriteFile(path.c_str(), body.data(), body.size(), 0600) == 0) {
      doc = kel::XmlDocument::Load(path.c_str(), &error);
      if (unlink(path.c_str()) != 0)
        LogOutput(2, "Could not successfully remove group configuration ModifyInstance request cimom.xml file.");
    } else {
      LogOutput(2, "Could not create cimom.xml file for Group configuration ModifyInstance request.");
      error = "not stored";
    }
    if (!doc) {
      LogOutput(2, "Group configuration ModifyInstance request refused: the document could not be read (%s).",
                error.c_str());
      outcome.result = -1;
      return outcome;
    }
  }

  const bool legacy = dialect == CimDialect::kLegacy;
  KelLockHold hold(g_kelLocks.groupConfigListLock, true);
  g_pending.push_back({messageId, apr_table_make(pool, 24)});
  apr_table_t* properties = g_pending.back().properties;
  CimModifyCall call = CollectModifyInstances(*doc, properties, !legacy, sink, context);
  *requestFraming = call.framing;
  if (legacy) SetCimResponseForm(call.framing);
  const char* element = CimResponseElement(call.framing == CimFraming::kMethodCall);
  auto errorAnswer = [&](int index) {
    return legacy ? CimFormedError(messageId, "ModifyInstance", 1, CimErrorDescription(index))
                  : CimErrorResponse(dialect, messageId, element, "ModifyInstance", 1, CimErrorDescription(index));
  };
  if (call.badClasses) LogOutput(2, "Group configuration ModifyInstance request: %d instance(s) of another class refused.",
                                 call.badClasses);
  // The older clients are told of each foreign instance at once.
  if (legacy)
    for (int i = 0; i < call.badClasses; ++i) outcome.text += errorAnswer(4);

  int restart = 0;
  int updated = SetMultipleKELCfgValue(pool, config, properties, kBatchWrite | kBatchGroupConfig, &restart, sink,
                                       context);
  g_pending.pop_back();
  ConfigDebugLine(sink, context, "ProcessCIMXMLModifyInstances: rc:%d  cimerr:%d\n", updated, call.instanceError);
  if (call.instanceError != 0)
    outcome.text += errorAnswer(call.instanceError);
  else if (updated == 1)
    outcome.text += legacy ? CimFormedSimple(messageId, "ModifyInstance")
                           : CimSimpleResponse(dialect, messageId, element, "ModifyInstance");
  else
    outcome.text += errorAnswer(updated);
  if (updated != 1 || call.instanceError != 0)
    LogOutput(2, "Group configuration ModifyInstance request %d was not applied (update %d, instance error %d).",
              messageId, updated, call.instanceError);
  return outcome;
}

int ActivateStagedCertificates() {
  std::string dir = CertificateDirectory();
  std::vector<std::string> staged;
  ForEachFile((dir + "/" + kRasPattern).c_str(), [&](const char* name) { staged.push_back(dir + "/" + name); });
  if (staged.empty()) return 0;
  KelConfigServerConfig* config = g_currentConfig;
  // The staged files take their names first; then the files of the
  // certificates they did not replace go. A failure never leaves the store
  // without the certificates it had.
  std::set<std::string> leaving;
  if (config) {
    KelLockHold hold(g_kelLocks.certLock, false);
    auto* certs = reinterpret_cast<const TrustedCert*>(config->trustedCerts->elts);
    for (int i = 0; i < config->trustedCerts->nelts; ++i)
      if (certs[i].path[0]) leaving.insert(certs[i].path);
  }
  int renamed = 0;
  {
    KelLockHold hold(g_kelLocks.certLock, true);
    for (const std::string& from : staged) {
      std::string to = from.substr(0, from.size() - kRasExtra);
      if (rename(from.c_str(), to.c_str()) == 0) {
        ++renamed;
        leaving.erase(to);
      } else {
        LogOutput(2, "ApplyToAll: the staged certificate %s could not be renamed to %s (%s).", from.c_str(),
                  to.c_str(), strerror(errno));
      }
    }
  }
  if (config && renamed > 0) ReplaceCertificates(config, {}, leaving, false);
  return renamed;
}
