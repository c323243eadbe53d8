// The legacy help aggregation of 40 agents (each with 200 contents
// entries, 500 index keywords of 2 topics and a search file of 300 topics
// and 500 keywords) against reading and writing the same bytes once, in the
// same run. Prints both times (best of five) and their ratio.
#include <apr_general.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bc_help.h"

namespace {

constexpr int kAgents = 40;
constexpr int kContents = 200;
constexpr int kKeywords = 500;
constexpr int kTopics = 300;

void Write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string Object(const std::string& name, const std::string& local, int depth) {
  std::string pad(2 * depth, ' ');
  return pad + "<li><object type=\"text/sitemap\">\r\n" + pad + "  <param name=\"Name\" value=\"" + name + "\">\r\n" +
         pad + "  <param name=\"Local\" value=\"" + local + "\">\r\n" + pad + "</object>\r\n";
}

// Agent a's files: names shared by every agent (Overview, the chapters,
// some keywords) and names of its own, so that runs, folders and joined
// keywords all occur.
void MakeAgent(const std::string& dir, int a) {
  std::filesystem::create_directories(dir + "/help");
  std::string agent = "agent" + std::to_string(a);
  Write(dir + "/" + agent + ".ini", "[CommonHomePage]\r\nName=" + agent +
                                        "\r\nNavigationFile=nav.js\r\nHelpContents=help/a.hhc\r\n"
                                        "HelpIndex=help/a.hhk\r\nHelpSearch=help/a.hhs\r\n");
  Write(dir + "/nav.js", "addNav('" + agent + "');\r\n");
  std::string hhc = "<html><body>\r\n<ul>\r\n" + Object("Overview", "o.htm", 1);
  for (int c = 0, n = 1; n < kContents; ++c) {
    hhc += Object(c % 2 ? "Chapter " + std::to_string(c) : agent + " chapter " + std::to_string(c),
                  "c" + std::to_string(c) + ".htm", 1);
    hhc += "  <ul>\r\n";
    for (int s = 0; s < 9 && ++n < kContents; ++s)
      hhc += Object("Section " + std::to_string(s), "c" + std::to_string(c) + "s" + std::to_string(s) + ".htm", 2);
    hhc += "  </ul>\r\n";
    ++n;
  }
  Write(dir + "/help/a.hhc", hhc + "</ul>\r\n</body></html>\r\n");
  std::string hhk = "<html><body>\r\n<ul>\r\n";
  for (int k = 0; k < kKeywords; ++k) {
    std::string kw = k % 5 ? agent + " keyword " + std::to_string(k) : "shared keyword " + std::to_string(k);
    hhk += "<li><object type=\"text/sitemap\">\r\n<param name=\"Name\" value=\"" + kw + "\">\r\n";
    for (int t = 0; t < 2; ++t)
      hhk += "<param name=\"Name\" value=\"Topic " + std::to_string(t) + "\">\r\n<param name=\"Local\" value=\"k" +
             std::to_string(k) + "t" + std::to_string(t) + ".htm\">\r\n";
    hhk += "</object>\r\n";
  }
  Write(dir + "/help/a.hhk", hhk + "</ul>\r\n</body></html>\r\n");
  std::string hhs = "[TOPICS=" + std::to_string(kTopics) + "]\r\n";
  for (int t = 0; t < kTopics; ++t) hhs += "\"Topic " + std::to_string(t) + "\",\"t" + std::to_string(t) + ".htm\"\r\n";
  hhs += "[KEYWORDS=" + std::to_string(kKeywords) + "]\r\n";
  for (int k = 0; k < kKeywords; ++k)
    hhs += "\"" + (k % 5 ? agent + " word " + std::to_string(k) : "word " + std::to_string(k)) + "\", " +
           std::to_string(k % kTopics + 1) + ", " + std::to_string((k * 7) % kTopics + 1) + "\r\n";
  hhs += "[STOPWORDS=3]\r\nthe\r\nof\r\n" + agent + "\r\n";
  Write(dir + "/help/a.hhs", hhs);
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

template <class Fn>
double Best(Fn fn) {
  double best = 1e9;
  for (int i = 0; i < 5; ++i) {
    auto start = std::chrono::steady_clock::now();
    fn();
    best = std::min(best, Seconds(std::chrono::steady_clock::now() - start));
  }
  return best;
}

}  // namespace

int main() {
  apr_initialize();
  char tmpl[] = "/tmp/kel-bench-help-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string root = tmpl;
  std::vector<WebApp> apps(kAgents);
  std::vector<std::string> sources;
  for (int a = 0; a < kAgents; ++a) {
    std::string dir = root + "/agents/agent" + std::to_string(a) + "/html";
    MakeAgent(dir, a);
    WebApp& app = apps[a];
    app = WebApp{};
    snprintf(app.sAppName, sizeof app.sAppName, "agent%d", a);
    snprintf(app.httpServer, sizeof app.httpServer, "Dornik HTTP Server");
    snprintf(app.extensionBase, sizeof app.extensionBase, "%s", dir.c_str());
    app.isactive = 1;
    for (const char* f : {"/help/a.hhc", "/help/a.hhk", "/help/a.hhs", "/nav.js"}) sources.push_back(dir + f);
  }
  std::filesystem::create_directories(root + "/out");
  BcMergedPaths paths{root + "/out/navfile.htm", root + "/out/drkhelp.hhc", root + "/out/drkhelp.hhk",
                      root + "/out/drkhelp.hhs"};

  size_t bytes = 0;
  double merge = Best([&] {
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    std::vector<std::string> unlist;
    apr_array_header_t* list = CollectVexoIniFiles(pool, apps.data(), kAgents, root + "/none", &unlist, BcLogSink());
    ReadAllIniFiles(pool, list, BcLogSink());
    buildAggregateNavigationFile(list, paths.navFile, BcLogSink());
    buildAggregateHelpFiles(list, paths, BcLogSink());
    apr_pool_destroy(pool);
  });
  for (const std::string* p : {&paths.navFile, &paths.contents, &paths.index, &paths.search}) {
    struct stat st;
    if (stat(p->c_str(), &st) != 0) {
      fprintf(stderr, "bench_aggregation: %s was not written\n", p->c_str());
      return 1;
    }
    bytes += static_cast<size_t>(st.st_size);
  }
  double copy = Best([&] {
    std::string all;
    for (const std::string& s : sources) BcReadFile(s, &all);
    Write(root + "/out/copy", all);
  });
  printf("legacy help aggregation of %d agents (%zu bytes written): %.4f s\n", kAgents, bytes, merge);
  printf("reading and writing the same sources once:               %.4f s\n", copy);
  printf("ratio: %.1f (target: aggregation at most 0.2 s: %s)\n", merge / copy, merge <= 0.2 ? "met" : "MISSED");
  std::filesystem::remove_all(root);
  return merge <= 0.2 ? 0 : 1;
}
