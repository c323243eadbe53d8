#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cfg_webapps.h"
#include "config_fixture.h"

namespace {

const std::string kFixtures = std::string(KEL_FIXTURES) + "/webapp";

class RegistryTest : public kel::test::ConfigModuleTest {
 protected:
  void Install(std::initializer_list<const char*> files) {
    for (const char* f : files) std::filesystem::copy_file(kFixtures + "/" + f, Path(std::string("webapp/") + f));
    LoadWebApps(config_);
    BuildUrlMaps(config_);
  }
  WebApp* App(const char* name) { return WebAppByName(pool_, config_, name, true); }
  static WebApp Record(const char* name, std::initializer_list<WebAppProperty> props, apr_pool_t* pool) {
    WebApp r;
    memset(&r, 0, sizeof r);
    snprintf(r.sAppName, sizeof r.sAppName, "%s", name);
    r.isactive = 1;
    r.vexoPort = 49400;
    r.properties = apr_array_make(pool, 5, sizeof(WebAppProperty));
    for (const WebAppProperty& p : props) *static_cast<WebAppProperty*>(apr_array_push(r.properties)) = p;
    return r;
  }
};

TEST_F(RegistryTest, RegistrationFilesMakeRecords) {
  Install({"sysmgmt.xml", "sysmgmt-storage.xml", "broken.xml"});
  ASSERT_EQ(CountWebApps(config_), 1);
  WebApp* app = App("SysMgmt");
  ASSERT_NE(app, nullptr);
  EXPECT_STREQ(app->marketname, "System Management");
  EXPECT_EQ(app->cimom, 1);
  EXPECT_EQ(app->hidden, 0);
  EXPECT_EQ(app->isactive, 1);
  EXPECT_STREQ(app->chpurl, "/sysmgmt/home.htm;/storage/home.htm");
  EXPECT_STREQ(app->helpurl, "/sysmgmt/help.htm");
  EXPECT_STREQ(app->statusurl, "/sysmgmt/status.xml;/storage/status.xml");
  EXPECT_STREQ(app->entryurl, "/sysmgmt/");
  EXPECT_STREQ(WebAppProperties(pool_, config_, "sysmgmt"), "p:12;q:00;");
  EXPECT_EQ(app->urlmaps, nullptr);  // single copies carry no maps
  EXPECT_NE(Log().find("Failed to parse webapp configuration file " + Path("webapp/broken.xml") + "."),
            std::string::npos);
  EXPECT_EQ(App("broken"), nullptr);
  EXPECT_EQ(WebAppProperties(pool_, config_, "nothing"), nullptr);
}

TEST_F(RegistryTest, JoinedUrlsStopAtTheField) {
  std::string longUrl(1000, 'u');
  kel::test::WriteFile(Path("webapp/a.xml"), "<webapp name='long'><chpurl>/" + longUrl + "</chpurl></webapp>");
  kel::test::WriteFile(Path("webapp/b.xml"), "<webapp name='long'><chpurl>/second/part/that/is/long</chpurl></webapp>");
  LoadWebApps(config_);
  EXPECT_EQ(strlen(App("long")->chpurl), 1023u);
}

TEST_F(RegistryTest, UrlMapsAndTheirRefusals) {
  Install({"maps.xml", "missing.xml", "exact.xml"});
  std::string log = Log();
  EXPECT_NE(log.find("The mapping from /bar/a to /foo/target.html for webapp foo is for a URL not in the webapp's "
                     "purview"), std::string::npos);
  EXPECT_NE(log.find("The mapping from /f to /foo/target.html for webapp foo is for a URL that is too short"),
            std::string::npos);
  EXPECT_NE(log.find("A * or ** mapping for webapp foo already exists.  The /foo/b to /foo/target.html mapping is "
                     "not saved."), std::string::npos);
  struct {
    const char* uri;
    const char* query;
    bool exists;
    const char* target;
  } cases[] = {
      {"/foo/x", nullptr, true, "/foo/index.html"},
      {"/foo/index.html", nullptr, true, ""},           // no loop
      {"/foo/a", "b=1", false, "/foo/index.html?b=1"},  // the star map comes first
      {"/bar/real.html", nullptr, true, ""},
      {"/bar/gone.html", "x=2", false, "/bar/fallback.html?x=2"},
      {"/baz/a", "b=1", true, "/baz/target.html?b=1"},
      {"/baz/a", "", true, "/baz/target.html"},
      {"/baz/other", nullptr, false, ""},
      {"/", nullptr, true, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(UrlMapTarget(config_, c.uri, c.query, c.exists), c.target) << c.uri;
  EXPECT_STREQ(apr_table_get(config_->exactMaps, "/foo/a"), "/foo/target.html");  // made before the star map
}

TEST_F(RegistryTest, AddUpdateUnlistDelete) {
  Install({"sysmgmt.xml"});
  WebApp five = Record("agent", {{"a", 1, 1}, {"b", 2, 2}, {"c", 3, 3}, {"d", 4, 4}, {"e", 5, 5}}, pool_);
  ASSERT_EQ(AddWebApp(config_, &five, nullptr, nullptr), 1);
  WebApp three = Record("AGENT", {{"x", 0, 1}, {"y", 1, 0}, {"z", 2, 2}}, pool_);
  snprintf(three.marketname, sizeof three.marketname, "Agent");
  ASSERT_EQ(AddWebApp(config_, &three, nullptr, nullptr), 1);
  EXPECT_EQ(CountWebApps(config_), 2);
  EXPECT_STREQ(WebAppProperties(pool_, config_, "agent"), "x:01;y:10;z:22;");
  EXPECT_STREQ(App("agent")->marketname, "Agent");
  WebApp more = Record("agent", {{"1", 1, 1}, {"2", 2, 2}, {"3", 3, 3}, {"4", 4, 4}}, pool_);
  AddWebApp(config_, &more, nullptr, nullptr);
  EXPECT_STREQ(WebAppProperties(pool_, config_, "agent"), "1:11;2:22;3:33;4:44;");

  ASSERT_EQ(UnlistWebApp(config_, "agent"), 1);
  WebApp* list = nullptr;
  ASSERT_EQ(ListWebApps(pool_, config_, &list), 2);
  EXPECT_STREQ(list[1].sAppName, "agent");
  EXPECT_EQ(list[1].isactive, 0);
  EXPECT_EQ(list[1].hidden, 1);
  EXPECT_EQ(UnlistWebApp(config_, "nothing"), 0);
  EXPECT_EQ(UnlistWebApp(config_, nullptr), 0);

  ASSERT_EQ(DeleteWebApp(config_, "sysmgmt"), 1);
  EXPECT_EQ(CountWebApps(config_), 1);
  EXPECT_STREQ(WebAppByIndex(pool_, config_, 0, true)->sAppName, "agent");
  EXPECT_EQ(WebAppByIndex(pool_, config_, 1, true), nullptr);
  EXPECT_EQ(WebAppByIndex(pool_, config_, -1, false), nullptr);
  EXPECT_EQ(DeleteWebApp(config_, "sysmgmt"), 0);
}

TEST_F(RegistryTest, DebugLinesOnlyWithTheCategory) {
  std::vector<std::string> lines;
  auto sink = [](void* ctx, const char* line) { static_cast<std::vector<std::string>*>(ctx)->push_back(line); };
  WebApp a = Record("agent", {}, pool_);
  AddWebApp(config_, &a, sink, &lines);
  EXPECT_TRUE(lines.empty());
  kel::test::WriteFile(Path("conf/debug.ini"), "kel_config\n");
  InitDiagnosticLog();
  AddWebApp(config_, &a, sink, &lines);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "AddSingleWebApp: webapp=agent.");
  EXPECT_EQ(lines[1], "after CopySingleWebApp: webapp=agent, isactive=1, cimom=0");
}

TEST_F(RegistryTest, ReadersAndWritersOnManyThreads) {
  Install({"sysmgmt.xml", "maps.xml"});
  constexpr int kWriters = 4, kReaders = 8, kRounds = 300;
  std::atomic<bool> bad{false};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w)
    threads.emplace_back([&, w] {
      apr_pool_t* p;
      apr_pool_create(&p, nullptr);
      for (int i = 0; i < kRounds; ++i) {
        std::string name = "agent" + std::to_string(w * 1000 + i % 20);
        WebApp r = Record(name.c_str(), {{"p", i % 10, 1}}, p);
        if (AddWebApp(config_, &r, nullptr, nullptr) != 1) bad = true;
        if (i % 3 == 0) UnlistWebApp(config_, name.c_str());
      }
      apr_pool_destroy(p);
    });
  for (int t = 0; t < kReaders; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        apr_pool_t* p;
        apr_pool_create(&p, nullptr);
        WebApp* list = nullptr;
        int n = ListWebApps(p, config_, &list);
        for (int k = 0; k < n; ++k)
          if (!list[k].sAppName[0] || strlen(list[k].sAppName) >= sizeof list[k].sAppName) bad = true;
        apr_pool_destroy(p);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_FALSE(bad);
  // Two from the files, and 20 names from each writer, none twice.
  EXPECT_EQ(CountWebApps(config_), 2 + kWriters * 20);
  WebApp* list = nullptr;
  int n = ListWebApps(pool_, config_, &list);
  std::set<std::string> names;
  for (int k = 0; k < n; ++k) names.insert(list[k].sAppName);
  EXPECT_EQ(names.size(), static_cast<size_t>(n));
}

}  // namespace
