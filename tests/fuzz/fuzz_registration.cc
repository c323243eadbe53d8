// A web application's registration file on any bytes: the file read twice
// (a second file of the same application adds its URLs), then the URL
// maps built and asked, and the properties listed.
#include "cfg_webapps.h"
#include "fuzz_config_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = kelfuzz::Text(data, size);
  kelfuzz::Scratch scratch;
  KelConfigServerConfig* config = kelfuzz::FreshConfig(scratch.get());
  kelfuzz::WriteFile(kelfuzz::Base() + "/webapp/a.xml", text);
  kelfuzz::WriteFile(kelfuzz::Base() + "/webapp/b.xml", text);
  LoadWebApps(config);
  BuildUrlMaps(config);
  WebApp* list = nullptr;
  int n = ListWebApps(scratch.get(), config, &list);
  for (int i = 0; i < n; ++i) {
    WebAppProperties(scratch.get(), config, list[i].sAppName);
    const std::string name = list[i].sAppName;
    for (const std::string& uri : {"/" + name, "/" + name + "/a", "/" + name + "/x/y"})
      UrlMapTarget(config, uri.c_str(), "q=1", i & 1);
  }
  UrlMapTarget(config, "/", nullptr, false);
  return 0;
}
