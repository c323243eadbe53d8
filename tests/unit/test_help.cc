// The help's own logic: topic lookup, the merged help read back, the links
// shown for it, the search and the pages' escaping.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bc_help.h"
#include "config_fixture.h"
#include "help_html.h"
#include "help_legacy.h"
#include "help_topics.h"
#include "kel_text.h"

namespace {

using kel::test::ReadFile;
using kel::test::WriteFile;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// ---- Topics ----------------------------------------------------------------

TEST(HelpTopics, Lookup) {
  struct {
    const char* name;
    HelpTopicKind kind;
    const char* found;  // the page's or setting's name
  } cases[] = {
      {"", HelpTopicKind::kStart, ""},
      {"home", HelpTopicKind::kPage, "home"},
      {"HOME", HelpTopicKind::kPage, "home"},
      {"settings", HelpTopicKind::kPage, "settings"},
      {"certificates", HelpTopicKind::kPage, "certificates"},
      {"log", HelpTopicKind::kPage, "log"},
      {"messages", HelpTopicKind::kPage, "messages"},
      {"trust", HelpTopicKind::kPage, "trust"},
      {"contents", HelpTopicKind::kContents, ""},
      {"Index", HelpTopicKind::kIndex, ""},
      {"setting-session-timeout", HelpTopicKind::kSetting, "session-timeout"},
      {"Setting-UI-Timeout", HelpTopicKind::kSetting, "ui-timeout"},
      {"setting-ip-binding", HelpTopicKind::kSetting, "ip-binding"},  // not ip-binding-list
      {"setting-ip-binding-list", HelpTopicKind::kSetting, "ip-binding-list"},
      {"setting-", HelpTopicKind::kUnknown, ""},
      {"setting-nosuch", HelpTopicKind::kUnknown, ""},
      {"session-timeout", HelpTopicKind::kUnknown, ""},
      {"home ", HelpTopicKind::kUnknown, ""},
      {"hom", HelpTopicKind::kUnknown, ""},
      {"/help/home", HelpTopicKind::kUnknown, ""},
  };
  for (const auto& c : cases) {
    HelpTopicRef ref = FindHelpTopic(c.name);
    EXPECT_EQ(ref.kind, c.kind) << c.name;
    const char* found = ref.page ? ref.page->name : ref.setting ? ref.setting->name : "";
    EXPECT_STREQ(found, c.found) << c.name;
  }
}

// Every setting of the settings model has its topic, with the model's
// default and restart flag; and no topic names a setting the model lacks.
class HelpSettingsModel : public kel::test::ConfigModuleTest {};

TEST_F(HelpSettingsModel, EverySettingHasItsTopic) {
  size_t count = 0;
  const HelpSettingTopic* topics = HelpSettingTopics(&count);
  ASSERT_EQ(static_cast<int>(count), config_->settings->nelts);
  for (int i = 0; i < config_->settings->nelts; ++i) {
    const KelSetting& s = APR_ARRAY_IDX(config_->settings, i, KelSetting);
    const HelpSettingTopic& t = topics[i];  // in the model's order
    EXPECT_STREQ(t.name, s.name);
    char text[64] = "";
    s.getText(&s, text, sizeof text);
    EXPECT_STREQ(t.defaultValue, text) << s.name;
    EXPECT_EQ(t.restart, s.restartRequired != 0) << s.name;
    EXPECT_EQ(FindHelpTopic(std::string(kSettingTopicPrefix) + s.name).setting, &t);
  }
}

// ---- The merged help read back -----------------------------------------------

WebApp Agent(const char* name, const std::string& base) {
  WebApp app{};
  snprintf(app.sAppName, sizeof app.sAppName, "%s", name);
  snprintf(app.httpServer, sizeof app.httpServer, "Dornik HTTP Server");
  snprintf(app.extensionBase, sizeof app.extensionBase, "%s", base.c_str());
  app.isactive = 1;
  return app;
}

// The fixture agents' help merged as a discovery merges it, and the map
// file that the discovery writes beside it.
class MergedHelp : public kel::test::ConfigModuleTest {
 protected:
  void SetUp() override {
    ConfigModuleTest::SetUp();
    std::string fixtures = std::string(KEL_FIXTURES) + "/legacy_help";
    std::vector<WebApp> apps = {Agent("Alpha", fixtures + "/agents/Alpha/html/"),
                                Agent("Beta", fixtures + "/agents/Beta/ravlend/sm"),
                                Agent("Hostile", fixtures + "/agents/Hostile/html")};
    std::vector<std::string> unlist;
    apr_array_header_t* list =
        CollectVexoIniFiles(pool_, apps.data(), static_cast<int>(apps.size()), fixtures + "/oldhelp", &unlist,
                            BcLogSink());
    ReadAllIniFiles(pool_, list, BcLogSink());
    std::filesystem::create_directories(root_ + "/out");
    paths_ = {root_ + "/out/navfile.htm", root_ + "/out/drkhelp.hhc", root_ + "/out/drkhelp.hhk",
              root_ + "/out/drkhelp.hhs"};
    buildAggregateHelpFiles(list, paths_, BcLogSink());
    files_ = {paths_.contents, paths_.index, paths_.search, root_ + "/out/vexolist.map"};
    WriteFile(files_.map,
              "#This mapfile is required for backwards compatibility.\n\n"
              "Alpha http://127.0.0.1:49400 \nalpha http://127.0.0.1:49400 \nALPHA http://127.0.0.1:49400 \n"
              "Beta http://127.0.0.1:49401 \n"
              "Hostile http://127.0.0.1:49402 \n");
    help_ = ReadLegacyHelp(files_);
  }

  std::string Render(const HelpAggregate& agg) {
    std::string out;
    EXPECT_EQ(RenderHelpFile(agg, &out), kHelpOk);
    return out;
  }

  HelpPage Page(const char* topic, const char* query = nullptr) {
    HelpRequest request;
    request.topic = topic;
    request.hasQuery = query != nullptr;
    request.query = query ? query : "";
    return RenderHelpPage(request, help_.get());
  }

  BcMergedPaths paths_;
  LegacyHelpFiles files_;
  std::unique_ptr<LegacyHelp> help_;
};

TEST_F(MergedHelp, ReadingBackGivesTheMergedFilesAgain) {
  ASSERT_TRUE(help_->HasContents() && help_->HasIndex() && help_->HasSearch());
  EXPECT_EQ(Render(*help_->contents), ReadFile(paths_.contents));
  EXPECT_EQ(Render(*help_->index), ReadFile(paths_.index));
  EXPECT_EQ(Render(*help_->search), ReadFile(paths_.search));
  EXPECT_EQ(help_->agents, (std::set<std::string>{"Alpha", "alpha", "ALPHA", "Beta", "Hostile"}));
  EXPECT_EQ(Log(), "");  // nothing in the merged files was refused
}

TEST_F(MergedHelp, SearchFileWithoutStopWordsIsReadWhole) {
  WriteFile(paths_.search, "[TOPICS=1]\r\n\"Start\",\"/Alpha/start.htm\"\r\n\r\n[KEYWORDS=1]\r\n\"start\", 1\r\n\r\n");
  auto help = ReadLegacyHelp(files_);
  ASSERT_TRUE(help->HasSearch());
  EXPECT_EQ(help->search->search->keywords.size(), 1u);
  EXPECT_EQ(Log(), "");
}

TEST_F(MergedHelp, MissingOrDamagedFilesLeaveTheirPartEmpty) {
  std::filesystem::remove(paths_.index);
  WriteFile(paths_.contents, "no list at all");
  auto help = ReadLegacyHelp(files_);
  EXPECT_FALSE(help->HasContents());
  EXPECT_FALSE(help->HasIndex());
  EXPECT_TRUE(help->HasSearch());
  EXPECT_NE(Log().find("kel_help: the merged help file " + paths_.contents + " could not be read (code 6)"),
            std::string::npos)
      << Log();
  HelpPage page = RenderHelpPage(HelpRequest{false, false, "", "contents"}, help.get());
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.html.find("No legacy agent on this machine has installed help."), std::string::npos);
}

TEST_F(MergedHelp, CurrentHelpIsReadAgainWhenAFileChanges) {
  auto first = CurrentLegacyHelp(files_);
  EXPECT_EQ(CurrentLegacyHelp(files_), first);
  WriteFile(files_.map, "#header\n\nAlpha http://127.0.0.1:49400 \n");
  auto second = CurrentLegacyHelp(files_);
  EXPECT_NE(second, first);
  EXPECT_EQ(second->agents, std::set<std::string>{"Alpha"});
}

// ---- Links -----------------------------------------------------------------

TEST_F(MergedHelp, LinksReachAgentsThroughTheMapAndTheOldHelpThroughItsAlias) {
  struct {
    const char* link;
    const char* href;
  } cases[] = {
      {"/Alpha/help/start.htm", "/Alpha/help/start.htm"},
      {"/alpha/x.htm?a=1#b", "/alpha/x.htm?a=1#b"},
      {"/Alpha", "/Alpha"},
      {"/AlPha/x.htm", "/qxhelp/AlPha/x.htm"},  // the map's lookups are exact
      {"/index.html", "/qxhelp/index.html"},
      {"/sub/page.htm", "/qxhelp/sub/page.htm"},
      {"/Gone/page.htm", "/qxhelp/Gone/page.htm"},
      {"", ""},
      {"/", ""},
      {"//other.example/x", ""},
      {"/\\other.example", ""},
      {"javascript:window.pwned=1", ""},
      {"http://other.example/", ""},
      {"/Alpha/../conf/kelpd.xml", ""},
      {"/Alpha/%2E%2e/conf", ""},
      {"/Alpha/./x", ""},
      {"/Alpha/x\ny", ""},
      {"/Alpha/x.htm\" onclick=\"x", "/Alpha/x.htm\" onclick=\"x"},  // escaped where it is written
  };
  for (const auto& c : cases) EXPECT_EQ(HelpHref(*help_, c.link), c.href) << c.link;
}

// ---- Search ----------------------------------------------------------------

std::vector<std::string> Titles(const std::vector<HelpHit>& hits) {
  std::vector<std::string> titles;
  for (const HelpHit& h : hits) titles.push_back(h.title + (h.legacy ? " @" + h.href : ""));
  return titles;
}

TEST_F(MergedHelp, SearchTable) {
  struct {
    const char* query;
    std::vector<std::string> titles;
    int stopped;
  } cases[] = {
      // A keyword's topics, and a title's word, in the order of the topics.
      {"printer",
       {"Overview @/Alpha/help/overview.htm", "Tasks @/Alpha/help/tasks.htm", "Printers @/Beta/printers.htm"}, 0},
      {"PRINTERS", {"Printers @/Beta/printers.htm"}, 0},
      // More words matched come first.
      {"printer tasks",
       {"Tasks @/Alpha/help/tasks.htm", "Overview @/Alpha/help/overview.htm", "Printers @/Beta/printers.htm"}, 0},
      {"print, print; PRINT",
       {"Overview @/Alpha/help/overview.htm", "Tasks @/Alpha/help/tasks.htm", "Printers @/Beta/printers.htm"}, 0},
      // The portal's own topics; a setting by its name.
      {"session-timeout", {"Setting: Session Time-out"}, 0},
      {"pkcs", {"Certificates"}, 0},
      // The old help under its alias.
      {"portal help", {"Portal Help @/qxhelp/index.html"}, 0},
      // Stop words of the merged file are not searched for.
      {"the", {}, 1},
      {"the of zzzz", {}, 2},
      {"", {}, 0},
      {"<>\"'", {}, 0},
  };
  for (const auto& c : cases) {
    int stopped = -1;
    std::vector<std::string> words = HelpQueryWords(c.query, help_.get(), &stopped);
    std::vector<std::string> titles = Titles(SearchHelp(words, help_.get()));
    if (std::string(c.query) == "portal help") {
      // Many own topics name the portal; the agents' topic is among the hits.
      EXPECT_NE(std::find(titles.begin(), titles.end(), c.titles[0]), titles.end()) << c.query;
    } else {
      EXPECT_EQ(titles, c.titles) << c.query;
    }
    EXPECT_EQ(stopped, c.stopped) << c.query;
  }
}

TEST(HelpSearch, QueryWordsAreBounded) {
  std::string query;
  for (int i = 0; i < 100; ++i) query += "w" + std::to_string(i) + " ";
  int stopped = 0;
  EXPECT_EQ(HelpQueryWords(query, nullptr, &stopped).size(), kMaxQueryWords);
  EXPECT_TRUE(SearchHelp({}, nullptr).empty());
}

// ---- Pages -----------------------------------------------------------------

TEST_F(MergedHelp, PagesByRequest) {
  struct {
    const char* topic;
    const char* query;  // null: none
    bool malformed;
    int status;
    const char* h1;
  } cases[] = {
      {"", nullptr, false, 200, "QX Kel Portal help"},
      {"home", nullptr, false, 200, "The homepage"},
      {"trust", nullptr, false, 200, "Management servers"},
      {"setting-session-timeout", nullptr, false, 200, "Setting: Session Time-out"},
      {"contents", nullptr, false, 200, "Agent help contents"},
      {"index", nullptr, false, 200, "Agent help index"},
      {"nosuch", nullptr, false, 404, "No such help topic"},
      {"home", "printer", false, 200, "Search results for \u201cprinter\u201d"},  // the query wins
      {"", "", false, 200, "Search the help"},
      {"home", nullptr, true, 400, "The help could not read this address"},
  };
  for (const auto& c : cases) {
    HelpRequest request{c.malformed, c.query != nullptr, c.query ? c.query : "", c.topic};
    HelpPage page = RenderHelpPage(request, help_.get());
    EXPECT_EQ(page.status, c.status) << c.topic;
    EXPECT_EQ(Count(page.html, "<h1>"), 1u) << c.topic;
    EXPECT_NE(page.html.find("<h1>" + HtmlEscape(c.h1) + "</h1>"), std::string::npos) << page.html;
    EXPECT_NE(page.html.find("<link rel=\"stylesheet\" href=\"/kel.css\">"), std::string::npos);
    EXPECT_NE(page.html.find("<main id=\"main\""), std::string::npos);
    EXPECT_NE(page.html.find("<html lang=\"en\">"), std::string::npos);
  }
}

TEST_F(MergedHelp, ContentsShowTheTreeWithItsLinks) {
  std::string html = Page("contents").html;
  EXPECT_NE(html.find("<a href=\"/qxhelp/index.html\">Portal Help</a>"), std::string::npos) << html;
  EXPECT_NE(html.find("<a href=\"/Alpha/help/start.htm\">Start</a>"), std::string::npos);
  EXPECT_NE(html.find("<a href=\"/Beta/intro.htm\">Overview</a>"), std::string::npos);
  // The two agents' Overview entries under one folder without a link.
  EXPECT_NE(html.find("<li><span class=\"help-folder\">Overview</span>\n<ul>\n<li><a href=\"/Alpha/help/overview.htm\">"),
            std::string::npos)
      << html;
  std::string index = Page("index").html;
  EXPECT_LT(index.find(">alpha<"), index.find(">Beta<"));
  EXPECT_NE(index.find("<a href=\"/Beta/alpha.htm\">Beta on alpha</a>"), std::string::npos) << index;
}

TEST_F(MergedHelp, ValuesFromFilesAndRequestsStayText) {
  std::string contents = Page("contents").html;
  EXPECT_EQ(contents.find("<img"), std::string::npos);
  EXPECT_NE(contents.find("<a href=\"/Hostile/x.htm&quot; onclick=&quot;window.pwned=2\">&lt;img src=x "
                          "onerror=window.pwned=1 </a>"),
            std::string::npos)
      << contents;
  std::string hits = Page("", "hostile").html;
  EXPECT_EQ(hits.find("<img"), std::string::npos);
  EXPECT_NE(hits.find("&lt;img src=x onerror=window.pwned=3&gt;"), std::string::npos) << hits;

  const char* hostile = "\"><script>window.pwned=4</script>'";
  for (const HelpPage& page : {Page(hostile), Page("", hostile)}) {
    EXPECT_EQ(page.html.find("<script"), std::string::npos) << page.html;
    EXPECT_NE(page.html.find("&lt;script&gt;"), std::string::npos);
  }
  EXPECT_NE(Page("", hostile).html.find("value=\"&quot;&gt;&lt;script&gt;window.pwned=4&lt;/script&gt;&#39;\""),
            std::string::npos);
  EXPECT_EQ(HtmlAttribute("a\"b'c<d>&"), "a&quot;b&#39;c&lt;d&gt;&amp;");
}

TEST_F(MergedHelp, SearchSaysWhenNothingMatches) {
  EXPECT_NE(Page("", "zzzzq").html.find("No help topic matches \u201czzzzq\u201d."), std::string::npos);
  EXPECT_NE(Page("", "the").html.find("too common"), std::string::npos);
  std::string hits = Page("", "printer").html;
  EXPECT_NE(hits.find("3 topics match."), std::string::npos) << hits;
  EXPECT_NE(hits.find("<a href=\"/Beta/printers.htm\">Printers</a>"), std::string::npos);
  // A long query is cut, not echoed whole.
  std::string page = Page("", std::string(5000, 'q').c_str()).html;
  EXPECT_EQ(page.find(std::string(201, 'q')), std::string::npos);
}

}  // namespace
