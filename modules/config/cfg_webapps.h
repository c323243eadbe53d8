// The web application registry: registration files, URL mappings, and the
// operations behind the registry's exports.
#pragma once

#include <apr_pools.h>

#include <string>

#include "cfg_settings.h"
#include "kel_config.h"

// Reads every webapp/*.xml of the write directory into the registry.
void LoadWebApps(KelConfigServerConfig* config);
// The three mapping tables from the registry's URL maps.
void BuildUrlMaps(KelConfigServerConfig* config);
// Where a request for uri goes under the URL maps, query string carried
// over; "" for nowhere. fileExists tells whether the URI names a file.
std::string UrlMapTarget(const KelConfigServerConfig* config, const char* uri, const char* query, bool fileExists);

int ListWebApps(apr_pool_t* pool, KelConfigServerConfig* config, WebApp** list);
int CountWebApps(KelConfigServerConfig* config);
WebApp* WebAppByIndex(apr_pool_t* pool, KelConfigServerConfig* config, int index, bool takeLock);
WebApp* WebAppByName(apr_pool_t* pool, KelConfigServerConfig* config, const char* name, bool takeLock);
char* WebAppProperties(apr_pool_t* pool, KelConfigServerConfig* config, const char* name);
// The debug lines (category "kel_config") go to sink, with context.
int AddWebApp(KelConfigServerConfig* config, const WebApp* record, void (*sink)(void* context, const char* line),
              void* context);
int UnlistWebApp(KelConfigServerConfig* config, const char* name);
int DeleteWebApp(KelConfigServerConfig* config, const char* name);
