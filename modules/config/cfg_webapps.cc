#include "cfg_webapps.h"

#include <apr_strings.h>
#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cfg_locks.h"
#include "cfg_log.h"
#include "kel_dirs.h"
#include "kel_files.h"
#include "kel_text.h"
#include "kel_xml.h"

namespace {

// AddSingleWebApp's debug lines, to the caller's sink.
struct DebugTo {
  void (*sink)(void*, const char*);
  void* context;
  template <typename... Args>
  void operator()(const char* format, Args... args) const {
    ConfigDebugLine(sink, context, format, args...);
  }
};

WebApp* Apps(KelConfigServerConfig* c) { return reinterpret_cast<WebApp*>(c->webApps->elts); }

template <size_t N>
void Copy(char (&field)[N], const char* text) {
  apr_cpystrn(field, text ? text : "", N);
}

// Appends ";" + text as far as the field holds.
template <size_t N>
void AppendUrl(char (&field)[N], const char* text) {
  size_t len = strlen(field);
  if (len + 1 >= N) return;
  field[len] = ';';
  apr_cpystrn(field + len + 1, text, N - len - 1);
}

bool IsYes(const char* v) { return v && strcasecmp(v, "yes") == 0; }

// The first element of that name: its first child's text, or null.
const char* TextOf(kel::XmlNode root, const char* tag) {
  kel::XmlNode e = kel::XmlFindFirst(root, tag);
  return e ? kel::XmlFirstChildText(e) : nullptr;
}

const char* AttributeOf(kel::XmlNode root, const char* tag, const char* attribute) {
  kel::XmlNode e = kel::XmlFindFirst(root, tag);
  return e ? kel::XmlGetAttribute(e, attribute) : nullptr;
}

// A child element of exactly that name, directly below.
kel::XmlNode Child(kel::XmlNode parent, const char* tag) {
  for (kel::XmlNode c = parent.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element && strcmp(c.name(), tag) == 0) return c;
  return kel::XmlNode();
}

void LoadOne(KelConfigServerConfig* config, const std::string& path) {
  std::unique_ptr<kel::XmlDocument> doc = kel::XmlDocument::Load(path.c_str());
  if (!doc) {
    LogOutput(2, "Failed to parse webapp configuration file %s.", path.c_str());
    return;
  }
  kel::XmlNode root = doc->DocumentNode();
  const char* name = AttributeOf(root, "webapp", "name");
  if (!name || !*name) return;

  WebApp* app = nullptr;
  for (int i = 0; i < config->webApps->nelts; ++i)
    if (apr_strnatcmp(Apps(config)[i].sAppName, name) == 0) app = &Apps(config)[i];
  bool isNew = app == nullptr;
  if (isNew) {
    app = static_cast<WebApp*>(apr_array_push(config->webApps));
    memset(app, 0, sizeof *app);
  }
  if (const char* v = TextOf(root, "marketname")) Copy(app->marketname, v);
  if (const char* v = AttributeOf(root, "hidden", "value")) app->hidden = IsYes(v) ? 1 : 0;
  if (const char* v = TextOf(root, "cimomurl")) Copy(app->cimomurl, v);
  if (const char* v = AttributeOf(root, "cimom", "value")) app->cimom = IsYes(v) ? 1 : 0;
  if (const char* v = AttributeOf(root, "namazu", "value")) app->namazu = IsYes(v) ? 1 : 0;
  if (const char* v = TextOf(root, "entryurl")) Copy(app->entryurl, v);
  const char* chp = TextOf(root, "chpurl");
  const char* help = TextOf(root, "helpurl");
  const char* status = TextOf(root, "statusurl");
  if (isNew) {
    app->vexoType = 0;
    Copy(app->sAppName, name);
    if (chp) Copy(app->chpurl, chp);
    if (help) Copy(app->helpurl, help);
    if (status) Copy(app->statusurl, status);
    app->isactive = 1;
    app->properties = apr_array_make(config->pool, 20, sizeof(WebAppProperty));
    app->urlmaps = apr_array_make(config->pool, 20, sizeof(WebAppUrlMap));
  } else {
    // A second file for the same application adds its URLs.
    if (chp) AppendUrl(app->chpurl, chp);
    if (help) AppendUrl(app->helpurl, help);
    if (status) AppendUrl(app->statusurl, status);
  }
  for (kel::XmlNode p : kel::XmlFindByTag(root, "property")) {
    const char* pname = kel::XmlGetAttribute(p, "name");
    if (!pname) continue;
    auto* prop = static_cast<WebAppProperty*>(apr_array_push(app->properties));
    memset(prop, 0, sizeof *prop);
    Copy(prop->name, pname);
    if (kel::XmlNode r = Child(p, "read-access")) prop->readAccess = atoi(kel::XmlFirstChildText(r));
    if (kel::XmlNode w = Child(p, "write-access")) prop->writeAccess = atoi(kel::XmlFirstChildText(w));
  }
  for (kel::XmlNode m : kel::XmlFindByTag(root, "urlmap")) {
    const char* mname = kel::XmlGetAttribute(m, "name");
    if (!mname) continue;
    auto* map = static_cast<WebAppUrlMap*>(apr_array_push(app->urlmaps));
    memset(map, 0, sizeof *map);
    Copy(map->name, mname);
    if (kel::XmlNode from = Child(m, "mapfrom")) {
      Copy(map->mapfrom, kel::XmlFirstChildText(from));
      Copy(map->webapp, name);
    }
    if (kel::XmlNode to = Child(m, "mapto")) Copy(map->mapto, kel::XmlFirstChildText(to));
  }
}

apr_array_header_t* CopyProperties(apr_pool_t* pool, const apr_array_header_t* from) {
  apr_array_header_t* to = apr_array_make(pool, from->nelts > 0 ? from->nelts : 1, from->elt_size);
  if (from->nelts > 0) memcpy(to->elts, from->elts, static_cast<size_t>(from->elt_size) * from->nelts);
  to->nelts = from->nelts;
  return to;
}

// Every field of the record, each text up to its end: most of a record is
// empty space. A field added to WebApp must be added here.
static_assert(sizeof(WebApp) == 5488, "CopyRecord copies each field of WebApp");
void CopyRecord(apr_pool_t* pool, const WebApp& from, bool withMaps, WebApp* to) {
  CopyTextField(to->sAppName, from.sAppName);
  CopyTextField(to->marketname, from.marketname);
  to->hidden = from.hidden;
  CopyTextField(to->chpurl, from.chpurl);
  CopyTextField(to->helpurl, from.helpurl);
  CopyTextField(to->entryurl, from.entryurl);
  CopyTextField(to->statusurl, from.statusurl);
  CopyTextField(to->cimomurl, from.cimomurl);
  to->cimom = from.cimom;
  to->isactive = from.isactive;
  to->namazu = from.namazu;
  to->vexoType = from.vexoType;
  CopyTextField(to->httpServer, from.httpServer);
  to->vexoPort = from.vexoPort;
  CopyTextField(to->extensionBase, from.extensionBase);
  CopyTextField(to->vexoHomeDirectory, from.vexoHomeDirectory);
  to->aliveCheck = from.aliveCheck;
  to->properties = from.properties ? CopyProperties(pool, from.properties) : nullptr;
  to->urlmaps = withMaps ? from.urlmaps : nullptr;
}

// A copy from pool with its own property list (and, when asked, the live
// record's URL maps).
WebApp* CopyOf(apr_pool_t* pool, const WebApp* app, bool withMaps) {
  auto* copy = static_cast<WebApp*>(apr_palloc(pool, sizeof(WebApp)));
  CopyRecord(pool, *app, withMaps, copy);
  return copy;
}

int IndexOf(KelConfigServerConfig* config, const char* name) {
  if (!config || !name) return -1;
  for (int i = 0; i < config->webApps->nelts; ++i) {
    const char* n = Apps(config)[i].sAppName;
    if (*n && apr_strnatcasecmp(n, name) == 0) return i;
  }
  return -1;
}

// The segment after the first character up to the next "/".
std::string FirstSegment(const char* uri) {
  if (!uri || !*uri) return "";
  std::string rest(uri + 1);
  return rest.substr(0, rest.find('/'));
}

}  // namespace

void LoadWebApps(KelConfigServerConfig* config) {
  std::string dir = KelSharedPath(KelShared::kWebAppDir);
  ForEachFile((dir + "/*.xml").c_str(), [&](const char* name) { LoadOne(config, dir + "/" + name); });
}

void BuildUrlMaps(KelConfigServerConfig* config) {
  for (int i = 0; i < config->webApps->nelts; ++i) {
    const WebApp& app = Apps(config)[i];
    if (!app.urlmaps) continue;
    auto* maps = reinterpret_cast<const WebAppUrlMap*>(app.urlmaps->elts);
    for (int j = 0; j < app.urlmaps->nelts; ++j) {
      const char* a = maps[j].webapp;
      const char* f = maps[j].mapfrom;
      const char* t = maps[j].mapto;
      if (apr_table_get(config->starMaps, a) || apr_table_get(config->doubleStarMaps, a)) {
        LogOutput(1, "A * or ** mapping for webapp %s already exists.  The %s to %s mapping is not saved.", a, f, t);
      } else if (strcmp(f, "*") == 0) {
        apr_table_set(config->starMaps, a, t);
        config->starMapSeen = config->anyMap = 1;
      } else if (strcmp(f, "**") == 0) {
        apr_table_set(config->doubleStarMaps, a, t);
        config->doubleStarMapSeen = config->anyMap = 1;
      } else if (strlen(f) < strlen(a)) {
        LogOutput(1, "The mapping from %s to %s for webapp %s is for a URL that is too short", f, t, a);
      } else if (apr_strnatcasecmp(FirstSegment(f).c_str(), a) != 0) {
        LogOutput(1, "The mapping from %s to %s for webapp %s is for a URL not in the webapp's purview", f, t, a);
      } else {
        apr_table_set(config->exactMaps, f, t);
        config->exactMapSeen = config->anyMap = 1;
      }
    }
  }
}

std::string UrlMapTarget(const KelConfigServerConfig* config, const char* uri, const char* query, bool fileExists) {
  if (!config || !config->anyMap || !uri) return "";
  std::string segment = FirstSegment(uri);
  // A target that is the request itself would loop.
  auto usable = [uri](const char* t) { return t && strcmp(t, uri) != 0 ? t : nullptr; };
  const char* target = nullptr;
  if (config->starMapSeen) target = usable(apr_table_get(config->starMaps, segment.c_str()));
  if (!target && config->doubleStarMapSeen && !fileExists)
    target = usable(apr_table_get(config->doubleStarMaps, segment.c_str()));
  if (!target && config->exactMapSeen) target = usable(apr_table_get(config->exactMaps, uri));
  if (!target) return "";
  std::string t = target;
  if (query && *query) t += std::string("?") + query;
  return t;
}

int ListWebApps(apr_pool_t* pool, KelConfigServerConfig* config, WebApp** list) {
  if (!config || !list) return 0;
  KelLockHold hold(g_kelLocks.webAppLock, false);
  int n = config->webApps->nelts;
  auto* copies = static_cast<WebApp*>(n > 0 ? apr_palloc(pool, sizeof(WebApp) * n) : apr_pcalloc(pool, sizeof(WebApp)));
  for (int i = 0; i < n; ++i) CopyRecord(pool, Apps(config)[i], true, &copies[i]);
  *list = copies;
  return n;
}

int CountWebApps(KelConfigServerConfig* config) {
  if (!config) return 0;
  KelLockHold hold(g_kelLocks.webAppLock, false);
  return config->webApps->nelts;
}

WebApp* WebAppByIndex(apr_pool_t* pool, KelConfigServerConfig* config, int index, bool takeLock) {
  if (!config) return nullptr;
  KelLockHold hold(g_kelLocks.webAppLock, false, takeLock);
  if (index < 0 || index >= config->webApps->nelts) return nullptr;
  return CopyOf(pool, &Apps(config)[index], false);
}

WebApp* WebAppByName(apr_pool_t* pool, KelConfigServerConfig* config, const char* name, bool takeLock) {
  if (!config || !name) return nullptr;
  KelLockHold hold(g_kelLocks.webAppLock, false, takeLock);
  int i = IndexOf(config, name);
  return i < 0 ? nullptr : CopyOf(pool, &Apps(config)[i], false);
}

char* WebAppProperties(apr_pool_t* pool, KelConfigServerConfig* config, const char* name) {
  if (!config || !name) return nullptr;
  KelLockHold hold(g_kelLocks.webAppLock, false);
  int i = IndexOf(config, name);
  if (i < 0 || !Apps(config)[i].properties) return nullptr;
  const apr_array_header_t* props = Apps(config)[i].properties;
  std::string text;
  auto* p = reinterpret_cast<const WebAppProperty*>(props->elts);
  for (int j = 0; j < props->nelts; ++j) {
    char entry[128];
    snprintf(entry, sizeof entry, "%s:%d%d;", p[j].name, p[j].readAccess, p[j].writeAccess);
    text += entry;
  }
  return apr_pstrdup(pool, text.c_str());
}

int AddWebApp(KelConfigServerConfig* config, const WebApp* record, void (*sink)(void*, const char*), void* context) {
  if (!config || !record) return 0;
  DebugTo Debug{sink, context};
  KelLockHold hold(g_kelLocks.webAppLock, true);
  Debug("AddSingleWebApp: webapp=%s.", record->sAppName);
  int i = record->sAppName[0] ? IndexOf(config, record->sAppName) : -1;
  bool isNew = i < 0;
  WebApp* app;
  if (isNew) {
    Debug("AddSingleWebApp:New webapp. Creating new array. Webapp=%s.", record->sAppName);
    app = static_cast<WebApp*>(apr_array_push(config->webApps));
    memset(app, 0, sizeof *app);
  } else {
    app = &Apps(config)[i];
  }
  apr_array_header_t* properties = app->properties;
  apr_array_header_t* urlmaps = app->urlmaps;
  *app = *record;
  app->properties = properties;
  app->urlmaps = urlmaps;
  if (isNew) {
    app->properties = apr_array_make(config->pool, 10, sizeof(WebAppProperty));
    if (!app->properties) {
      LogOutput(2, "CopySingleWebApp() %s failed.", record->sAppName);
      return 0;
    }
    if (record->properties) apr_array_cat(app->properties, record->properties);
    app->urlmaps = apr_array_make(config->pool, 1, sizeof(WebAppUrlMap));
  }
  Debug("after CopySingleWebApp: webapp=%s, isactive=%d, cimom=%d", app->sAppName, app->isactive, app->cimom);
  if (!isNew && record->properties && app->properties) {
    int n = app->properties->nelts, m = record->properties->nelts;
    auto* given = reinterpret_cast<const WebAppProperty*>(record->properties->elts);
    if (n >= m) {
      Debug("Web app %s already exists, new property list <= old property list by %d", app->sAppName, n - m);
      app->properties->nelts = m;
      memcpy(app->properties->elts, given, sizeof(WebAppProperty) * m);
    } else {
      Debug("Web app %s already exists, new property list > old property list by %d", app->sAppName, m - n);
      memcpy(app->properties->elts, given, sizeof(WebAppProperty) * n);
      for (int k = n; k < m; ++k) *static_cast<WebAppProperty*>(apr_array_push(app->properties)) = given[k];
    }
  }
  return 1;
}

int UnlistWebApp(KelConfigServerConfig* config, const char* name) {
  if (!config || !name) return 0;
  KelLockHold hold(g_kelLocks.webAppLock, true);
  int i = IndexOf(config, name);
  if (i < 0) return 0;
  Apps(config)[i].hidden = 1;
  Apps(config)[i].isactive = 0;
  return 1;
}

int DeleteWebApp(KelConfigServerConfig* config, const char* name) {
  if (!config || !name) return 0;
  KelLockHold hold(g_kelLocks.webAppLock, true);
  int i = IndexOf(config, name);
  if (i < 0) return 0;
  WebApp* apps = Apps(config);
  memmove(&apps[i], &apps[i + 1], sizeof(WebApp) * (config->webApps->nelts - i - 1));
  --config->webApps->nelts;
  return 1;
}
