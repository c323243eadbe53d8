// The exports of mod_kel_config that the other modules call. Everything they
// return is allocated from the caller's pool.
#pragma once

#include "apr_pools.h"
#include "httpd.h"
#include "kel_login.h"

#define KEL_CONFIG_EXPORT __attribute__((visibility("default")))

// Debug categories (DebugCategory masks).
#define KEL_DEBUG_STARTUP 1
#define KEL_DEBUG_CONFIG 2
#define KEL_DEBUG_AA 4
#define KEL_DEBUG_BC 8
#define KEL_DEBUG_UI 16
#define KEL_DEBUG_HELP 32
#define KEL_DEBUG_SSO 128
#define KEL_DEBUG_ORV 256

extern "C" {

// A web application's access property.
struct WebAppProperty {
  char name[64];
  int readAccess;
  int writeAccess;
};

// A URL mapping a registration file declares.
struct WebAppUrlMap {
  char name[64];
  char mapfrom[1024];
  char mapto[1024];
  char webapp[64];  // the owning application's name
};

// A registered web application (registration file or legacy agent).
struct WebApp {
  char sAppName[64];
  char marketname[256];
  int hidden;
  char chpurl[1024];
  char helpurl[1024];
  char entryurl[256];
  char statusurl[1024];
  char cimomurl[1024];
  int cimom;
  int isactive;
  int namazu;
  int vexoType;
  char httpServer[256];
  unsigned int vexoPort;
  char extensionBase[256];
  char vexoHomeDirectory[256];
  // 0 when the application has gone away; null for registration files.
  int (*aliveCheck)(request_rec* r, WebApp* app);
  apr_array_header_t* properties;  // of WebAppProperty
  apr_array_header_t* urlmaps;     // of WebAppUrlMap
};

// The registry. Copies come from pool; the URL maps of a listed copy are
// the live record's and are read-only.
KEL_CONFIG_EXPORT int GetWebAppCfgList(apr_pool_t* pool, server_rec* server, WebApp** list);
KEL_CONFIG_EXPORT int GetTotalNumofWebApps(server_rec* server);
KEL_CONFIG_EXPORT WebApp* GetSingleWebAppbyIndex(apr_pool_t* pool, server_rec* server, int index, int takeLock);
KEL_CONFIG_EXPORT WebApp* GetSingleWebAppbyName(apr_pool_t* pool, server_rec* server, const char* name, int takeLock);
// "name:RW;" for each property; "" for none; null for an unknown record.
KEL_CONFIG_EXPORT char* GetWebAppPropertyList(apr_pool_t* pool, server_rec* server, const char* name);
KEL_CONFIG_EXPORT int AddSingleWebApp(apr_pool_t* pool, server_rec* server, WebApp* record);
KEL_CONFIG_EXPORT int UnlistSingleWebApp(server_rec* server, const char* name);
KEL_CONFIG_EXPORT int DeleteSingleWebApp(server_rec* server, const char* name);

// A trusted certificate of a management server.
struct TrustedCert {
  char path[260];  // the file's full path
  char cn[260];    // the subject's common name
  char pem[4096];  // the file's text (its first 2047 bytes)
};

// Result codes of AddRawZQCertificate.
#define KEL_CERT_FILE_ERROR 0
#define KEL_CERT_OK 1
#define KEL_CERT_NOT_VALID_NOW 3
#define KEL_CERT_NOT_A_CERTIFICATE 4

KEL_CONFIG_EXPORT int GetCertificateList(apr_pool_t* pool, server_rec* server, TrustedCert** list);
KEL_CONFIG_EXPORT TrustedCert* GetCertificate(apr_pool_t* pool, server_rec* server, const char* cn);
KEL_CONFIG_EXPORT TrustedCert* GetCertificateByFilename(apr_pool_t* pool, server_rec* server, const char* fileName);
KEL_CONFIG_EXPORT int AddRawZQCertificate(apr_pool_t* pool, server_rec* server, const char* text, int addToList,
                                          int groupConfig);
// "<pre>dump</pre>" into the response; 1, or 0 for no certificate.
KEL_CONFIG_EXPORT int ViewCertificate(request_rec* r, const char* path);
// Deletes the file and drops its record; 1 when both happened.
KEL_CONFIG_EXPORT int RemoveCertificate(request_rec* r, const char* path);

// A copy of a setting's stored value from pool (the text of a text
// setting, or the 32-bit integer of a boolean and of "ui-timeout", in a
// zero-filled buffer); null for a null or unknown name.
KEL_CONFIG_EXPORT char* GetKELInternalCfgValue(apr_pool_t* pool, server_rec* server, const char* name);
// Validates, stores and writes one setting (asking for a restart when the
// setting needs one); 1 on success, 0 on failure.
KEL_CONFIG_EXPORT int SetSingleKELCfgValue(server_rec* server, const char* name, const char* value);

// One record in logs/kel.log (severity 0 information, 1 warning, 2 error,
// 3 critical); the message's length, or -1 when it could not be written.
KEL_CONFIG_EXPORT int LogOutput(int severity, const char* format, ...) __attribute__((format(printf, 2, 3)));
// mask AND the categories switched on in conf/debug.ini.
KEL_CONFIG_EXPORT int DebugCategory(int mask);
// Timing traces: accepted and dropped; 0.
KEL_CONFIG_EXPORT int DebugOutput(const char* format, ...);
// Writes the diagnostic log (which 0) or the legacy agents' log (which 1)
// into the response, oldest first, HTML-escaped; always 1.
KEL_CONFIG_EXPORT int GetLogFile(request_rec* r, int which);
// 1 when the legacy agents' log exists.
KEL_CONFIG_EXPORT int CheckForOrvLogFile(request_rec* r);

}
