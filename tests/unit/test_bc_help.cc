// The legacy INI reader and the merged navigation, contents, index and
// search files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "apr_general.h"
#include "bc_help.h"
#include "cfg_log.h"
#include "kel_test_env.h"

namespace {

using kel::test::ReadFile;
using kel::test::WriteFile;

class PoolTest : public kel::test::TempBase {
 protected:
  void SetUp() override {
    TempBase::SetUp();
    apr_initialize();
    apr_pool_create(&pool_, nullptr);
    InitDiagnosticLog();
  }
  void TearDown() override {
    apr_pool_destroy(pool_);
    apr_terminate();
    TempBase::TearDown();
  }
  apr_pool_t* pool_ = nullptr;
};

// ---- INI text ----------------------------------------------------------------

VexoIniSection ReadSection(apr_pool_t* pool, const std::string& text) {
  VexoIniSection e{};
  ReadCommonHomePage(pool, text.c_str(), &e, BcLogSink());
  return e;
}

const char* Or(const char* value) { return value ? value : "(none)"; }

TEST_F(PoolTest, IniRecordNamesAndValues) {
  std::string v299(299, 'v'), v300(300, 'w');
  struct {
    const char* what;
    std::string text;
    const char* name;
    const char* navigation;
    const char* description;
  } cases[] = {
      {"a blank before = leaves a name that matches nothing", "[CommonHomePage]\nName = Portal\n", "(none)", "(none)",
       "(none)"},
      {"no blank", "[CommonHomePage]\nName=Portal\n", "Portal", "(none)", "(none)"},
      {"prefix of a field name: Nav fills NavigationFile, Help HelpContents", "[CommonHomePage]\nNav=n.js\nD=d\n",
       "(none)", "n.js", "d"},
      {"an empty name fills Name", "[CommonHomePage]\n=Empty\n", "Empty", "(none)", "(none)"},
      {"a later record overwrites", "[CommonHomePage]\nName=One\nname=Two\n", "Two", "(none)", "(none)"},
      {"comments and blank lines inside the section",
       "[CommonHomePage]\n; comment\n\n   \n  ;indented comment\nName=Real\n\n;Description=no\nNavigationFile=x\n",
       "Real", "x", "(none)"},
      {"a record followed directly by another header ends the section",
       "[CommonHomePage]\nName=Mine\n[Other]\nNavigationFile=theirs\n", "Mine", "(none)", "(none)"},
      {"the header is matched as a prefix", "[Other]\nName=No\n[CommonHomePageOld]\nName=Old\n[CommonHomePage]\nName=New\n",
       "Old", "(none)", "(none)"},
      {"without the section, the records before the first header", "Name=Before\n[Other]\nName=After\n", "Before",
       "(none)", "(none)"},
      {"CR line ends, leading blanks of the value skipped", "[CommonHomePage]\r\nName=   Spaced \r\n", "Spaced ",
       "(none)", "(none)"},
  };
  for (const auto& c : cases) {
    VexoIniSection e = ReadSection(pool_, c.text);
    EXPECT_STREQ(Or(e.Name), c.name) << c.what;
    EXPECT_STREQ(Or(e.NavigationFile), c.navigation) << c.what;
    EXPECT_STREQ(Or(e.Description), c.description) << c.what;
  }
  EXPECT_STREQ(ReadSection(pool_, "[CommonHomePage]\nHelp=h.hhc\n").HelpContents, "h.hhc");
  EXPECT_STREQ(ReadSection(pool_, "[CommonHomePage]\nName=" + v299 + "\n").Name, v299.c_str());
  EXPECT_EQ(ReadSection(pool_, "[CommonHomePage]\nName=old\nName=" + v300 + "\n").Name, std::string("old"));
  // A name too long for its buffer reads as empty, and so fills Name.
  std::string name80(80, 'N');
  EXPECT_STREQ(ReadSection(pool_, "[CommonHomePage]\n" + name80 + "=x\n").Name, "x");
}

TEST(IniParser, RecordsOneByOne) {
  const char* text = "x=1\n[CommonHomePage]\n  a = 1\nnovalue\n;c\n[Next]\nb=2\n";
  const char* cursor = nullptr;
  size_t length = 0;
  char name[80], value[300];
  std::vector<std::string> seen;
  for (int guard = 0; guard < 10; ++guard) {
    DrkVexoGetSectionRecord(text, "CommonHomePage", &cursor, &length, name, sizeof name, value, sizeof value,
                            BcLogSink());
    if (length == 0) break;
    seen.push_back(std::string(name) + "|" + value);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"a |1", "novalue|"}));
  EXPECT_EQ(FindIniSection("[A]\n", "A", BcLogSink()), std::string(""));
  EXPECT_EQ(FindIniSection("[A]\nx", "B", BcLogSink()), nullptr);
}

// ---- Collection ----------------------------------------------------------------

WebApp Agent(const char* name, const std::string& base, const std::string& home, bool active = true) {
  WebApp app{};
  snprintf(app.sAppName, sizeof app.sAppName, "%s", name);
  snprintf(app.httpServer, sizeof app.httpServer, "Dornik HTTP Server");
  snprintf(app.extensionBase, sizeof app.extensionBase, "%s", base.c_str());
  snprintf(app.vexoHomeDirectory, sizeof app.vexoHomeDirectory, "%s", home.c_str());
  app.isactive = active ? 1 : 0;
  app.aliveCheck = [](request_rec*, WebApp*) { return 1; };
  return app;
}

TEST_F(PoolTest, CollectsOldHelpFirstThenEachAgentsFilesOnce) {
  std::string shared = root_ + "/shared", own = root_ + "/own";
  std::filesystem::create_directories(shared);
  std::filesystem::create_directories(own);
  for (const char* f : {"b.ini", "A.INI", "DRKVEXD.INI", "drkvexd.ini2", "a.b.ini", "notes.txt"})
    WriteFile(shared + "/" + f, "");
  WriteFile(own + "/c.ini", "");
  std::vector<WebApp> apps = {Agent("First", shared + "/", own), Agent("Second", shared, ""),
                              Agent("Gone", own, "", false), Agent("Other", own, "")};
  snprintf(apps[3].httpServer, sizeof apps[3].httpServer, "Another Server");
  WebApp registered{};  // a registration file's record: left alone
  snprintf(registered.sAppName, sizeof registered.sAppName, "webapp");
  apps.push_back(registered);
  std::vector<std::string> unlist;
  apr_array_header_t* list =
      CollectVexoIniFiles(pool_, apps.data(), static_cast<int>(apps.size()), "/help", &unlist, BcLogSink());
  std::vector<std::string> got;
  for (int i = 0; i < list->nelts; ++i) {
    const auto& e = reinterpret_cast<VexoIniSection*>(list->elts)[i];
    got.push_back(std::string(e.iniFileName) + "|" + e.vexoName + "|" + e.iniDirectory);
  }
  EXPECT_EQ(got, (std::vector<std::string>{"oldhelp.ini|nonVEXO|/help", "A.INI|/First|" + shared + "/",
                                           "b.ini|/First|" + shared + "/", "c.ini|/First|" + own}));
  EXPECT_EQ(unlist, (std::vector<std::string>{"Gone", "Other"}));
}

// ---- Navigation file ---------------------------------------------------------------

TEST_F(PoolTest, NavigationFile) {
  std::string nav = root_ + "/navfile.htm";
  apr_array_header_t* list = apr_array_make(pool_, 2, sizeof(VexoIniSection));
  auto* plain = static_cast<VexoIniSection*>(apr_array_push(list));
  *plain = VexoIniSection{};
  buildAggregateNavigationFile(list, nav, BcLogSink());
  EXPECT_EQ(ReadFile(nav), "//Navfile needed for backwards compatibility.\n\n");
  EXPECT_EQ(ReadFile(nav).size(), 47u);

  WriteFile(root_ + "/a.js", std::string("bytes\0\r\nkept", 12));
  auto* a = static_cast<VexoIniSection*>(apr_array_push(list));
  *a = VexoIniSection{};
  snprintf(a->vexoName, sizeof a->vexoName, "/Alpha");
  snprintf(a->iniDirectory, sizeof a->iniDirectory, "%s", root_.c_str());
  a->NavigationFile = "a.js";
  a->Description = "Alpha pages";
  auto* b = static_cast<VexoIniSection*>(apr_array_push(list));
  *b = *a;
  b->NavigationFile = "missing.js";
  b->Description = nullptr;
  buildAggregateNavigationFile(list, nav, BcLogSink());
  std::string block = "\r\n//--------------------------------------------------\r\n//VEXONAME = /Alpha \r\n";
  EXPECT_EQ(ReadFile(nav), "//Navfile needed for backwards compatibility.\n\n" + block + "//NAVIGATION FILE = " +
                               root_ + "/a.js\r\n//DESCRIPTION = Alpha pages\r\n" + std::string("bytes\0\r\nkept", 12) +
                               block + "//NAVIGATION FILE = " + root_ + "/missing.js\r\n//DESCRIPTION = (null)\r\n");
  EXPECT_EQ(ResetNavigationFileAt(nav, BcLogSink()), 1);
  EXPECT_EQ(ReadFile(nav), kNavFileHeader);
}

// No room for a longer navigation (a file size limit stands in for a full
// disk): the write fails, says so, and the navigation before it stays whole.
TEST_F(PoolTest, NavigationFileThatDoesNotFitKeepsTheOldOne) {
  std::string nav = root_ + "/navfile.htm";
  apr_array_header_t* list = apr_array_make(pool_, 1, sizeof(VexoIniSection));
  auto* plain = static_cast<VexoIniSection*>(apr_array_push(list));
  *plain = VexoIniSection{};
  buildAggregateNavigationFile(list, nav, BcLogSink());
  const std::string before = ReadFile(nav);
  WriteFile(root_ + "/big.js", std::string(4096, 'x'));
  auto* big = static_cast<VexoIniSection*>(apr_array_push(list));
  *big = VexoIniSection{};
  snprintf(big->vexoName, sizeof big->vexoName, "/Big");
  snprintf(big->iniDirectory, sizeof big->iniDirectory, "%s", root_.c_str());
  big->NavigationFile = "big.js";

  pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{1024, 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    buildAggregateNavigationFile(list, nav, BcLogSink());
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(ReadFile(nav), before);
  EXPECT_NE(Log().find("Unable to write navfile."), std::string::npos);
}

// ---- Contents and index -------------------------------------------------------------

std::string Object(const char* name, const char* local = nullptr) {
  std::string o = "<li><object type=\"text/sitemap\">\n<param name=\"Name\" value=\"" + std::string(name) + "\">\n";
  if (local) o += "<param name=\"Local\" value=\"" + std::string(local) + "\">\n";
  return o + "</object>\n";
}
std::string Topic(const char* keyword, const char* title, const char* local) {
  return "<li><object type=\"text/sitemap\">\n<param name=\"Name\" value=\"" + std::string(keyword) +
         "\">\n<param name=\"Name\" value=\"" + title + "\">\n<param name=\"Local\" value=\"" + local +
         "\">\n</object>\n";
}
std::string HelpText(const std::string& body, const char* header = "<html>\n") {
  return header + std::string("<ul>\n") + body + "</ul>\n</body>\n";
}

struct HelpSource {
  const char* ini;    // oldhelp.ini or an agent's
  const char* agent;  // vexoName
  const char* value;  // the INI file's value
  std::string text;
};

// Merges the sources in order as the aggregation does; the code of the
// last and the file's text ("" when it would not be written).
std::pair<int, std::string> Merge(int kind, const std::vector<HelpSource>& sources) {
  HelpAggregate agg(kind, BcLogSink());
  for (const HelpSource& s : sources) {
    VexoIniSection e{};
    snprintf(e.iniFileName, sizeof e.iniFileName, "%s", s.ini);
    snprintf(e.vexoName, sizeof e.vexoName, "%s", s.agent);
    SetHelpSource(&agg, e, s.value);
    agg.result = kind == kHelpContents ? MergeContentsText(&agg, s.text.c_str(), "src")
                 : kind == kHelpIndex  ? MergeIndexText(&agg, s.text.c_str(), "src")
                                       : MergeSearchText(&agg, s.text.c_str());
  }
  if (kind == kHelpContents) GroupContentsRuns(&agg);
  std::string out;
  if (agg.result != kHelpOk || RenderHelpFile(agg, &out) != kHelpOk) out.clear();
  return {agg.result, out};
}

TEST(HelpContents, OverviewOfTwoAgentsBecomesAFolder) {
  auto [code, out] = Merge(kHelpContents, {{"a.ini", "/A", "help/a.hhc", HelpText(Object("Overview", "a.htm"))},
                                           {"b.ini", "/B", "b.hhc", HelpText(Object("Overview", "b.htm"))}});
  EXPECT_EQ(code, 0);
  EXPECT_EQ(out,
            "<html>\n<ul>\r\n"
            "  <li><object type=\"text/sitemap\">\r\n    <param name=\"Name\" value=\"Overview\">\r\n  </object>\r\n"
            "  <ul>\r\n"
            "    <li><object type=\"text/sitemap\">\r\n      <param name=\"Name\" value=\"Overview\">\r\n"
            "      <param name=\"Local\" value=\"/A/help/a.htm\">\r\n    </object>\r\n"
            "    <li><object type=\"text/sitemap\">\r\n      <param name=\"Name\" value=\"Overview\">\r\n"
            "      <param name=\"Local\" value=\"/B/b.htm\">\r\n    </object>\r\n"
            "  </ul>\r\n"
            "</ul>\r\n\n</body>\n");
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(HelpContents, PlacementCases) {
  // The same entry with the same link from two agents is written once
  // (the same subdirectory gives the same link).
  auto [sameCode, same] = Merge(kHelpContents, {{"a.ini", "/A", "h/a.hhc", HelpText(Object("Start", "s.htm"))},
                                                {"b.ini", "/A", "h/b.hhc", HelpText(Object("start", "S.HTM"))}});
  EXPECT_EQ(sameCode, 0);
  EXPECT_EQ(Count(same, "value=\"Start\""), 1u);
  EXPECT_EQ(Count(same, "value=\"start\""), 0u);

  // Old help first although it comes in second.
  auto [oldCode, old] = Merge(kHelpContents, {{"a.ini", "/A", "a.hhc", HelpText(Object("Agent", "a.htm"))},
                                              {"oldhelp.ini", "nonVEXO", "o.hhc", HelpText(Object("Portal", "p.htm"))}});
  EXPECT_EQ(oldCode, 0);
  EXPECT_LT(old.find("\"Portal\""), old.find("\"Agent\""));
  EXPECT_NE(old.find("value=\"/p.htm\""), std::string::npos);

  // A second Name inside one object is ignored; a value without directory
  // gives no subdirectory and no leftover quote.
  auto [nameCode, twice] = Merge(
      kHelpContents,
      {{"a.ini", "/agent", "drk.hhc",
        HelpText("<li><object type=\"text/sitemap\">\n<param name=\"Name\" value=\"First\">\n<param name=\"Name\" "
                 "value=\"Second\">\n<param name=\"Local\" value=\"page.htm\">\n</object>\n")}});
  EXPECT_EQ(nameCode, 0);
  EXPECT_NE(twice.find("value=\"First\""), std::string::npos);
  EXPECT_EQ(twice.find("Second"), std::string::npos);
  EXPECT_NE(twice.find("<param name=\"Local\" value=\"/agent/page.htm\">"), std::string::npos);

  // An object without a name is placed too, under the lists it was read in.
  std::string nameless = HelpText("<li><object type=\"text/sitemap\">\n</object>\n<ul>\n" +
                                  Object("Below", "b.htm") + "</ul>\n");
  auto [namelessCode, unnamed] =
      Merge(kHelpContents, {{"a.ini", "/A", "a.hhc", nameless}, {"b.ini", "/B", "b.hhc", nameless}});
  EXPECT_EQ(namelessCode, 0);
  // The second nameless object has no link and is dropped; both Below
  // entries follow the first, as one folder.
  EXPECT_EQ(Count(unnamed, "<li><object"), 4u) << unnamed;
  EXPECT_EQ(Count(unnamed, "value=\"Below\">\r\n    </object>\r\n    <ul>"), 1u) << unnamed;

  // An existing entry without link takes the link of the next one.
  auto [takeCode, take] = Merge(kHelpContents, {{"a.ini", "/A", "a.hhc", HelpText(Object("Tasks"))},
                                                {"b.ini", "/B", "b.hhc", HelpText(Object("Tasks", "t.htm"))}});
  EXPECT_EQ(takeCode, 0);
  EXPECT_EQ(Count(take, "\"Tasks\""), 1u);
  EXPECT_NE(take.find("/B/t.htm"), std::string::npos);
}

TEST(HelpContents, NestedEntriesFollowTheirParentByName) {
  std::string a = HelpText(Object("Tasks") + "<ul>\n" + Object("One", "1.htm") + "</ul>\n");
  std::string b = HelpText(Object("Tasks") + "<ul>\n" + Object("Two", "2.htm") + "</ul>\n");
  auto [code, out] = Merge(kHelpContents, {{"a.ini", "/A", "a.hhc", a}, {"b.ini", "/B", "b.hhc", b}});
  EXPECT_EQ(code, 0);
  EXPECT_EQ(Count(out, "\"Tasks\""), 1u);
  EXPECT_NE(out.find("    <li><object type=\"text/sitemap\">\r\n      <param name=\"Name\" value=\"One\">"),
            std::string::npos);
  EXPECT_LT(out.find("\"One\""), out.find("\"Two\""));
  EXPECT_NE(out.find("  </ul>\r\n</ul>\r\n"), std::string::npos);
}

TEST(HelpContents, FailuresOfTheLastFileDropTheKind) {
  struct {
    const char* what;
    std::string text;
    int code;
  } cases[] = {
      {"Local before Name", HelpText("<li><object type=\"text/sitemap\">\n<param name=\"Local\" value=\"x.htm\">\n"),
       kHelpContentsState},
      {"an object outside an item", HelpText("<object type=\"text/sitemap\">\n"), kHelpContentsState},
      {"a name without value", HelpText("<li><object type=\"text/sitemap\">\n<param name=\"Name\" >\n"),
       kHelpContentsData},
      {"a tag that never ends", "<ul>\n<li><object", kHelpContentsData},
      {"no list in the first file, ending with a tag", "<html>no list</html>", kHelpNoMemory},
      {"no list, not ending with a tag", "<html>no list\n", kHelpNoList},
  };
  for (const auto& c : cases) {
    auto [code, out] = Merge(kHelpContents, {{"a.ini", "/A", "a.hhc", c.text}});
    EXPECT_EQ(code, c.code) << c.what;
    EXPECT_EQ(out, "") << c.what;
  }
  // A good file and then a failing one: nothing to write.
  auto [code, out] = Merge(kHelpContents, {{"a.ini", "/A", "a.hhc", HelpText(Object("Good", "g.htm"))},
                                           {"b.ini", "/B", "b.hhc", cases[0].text}});
  EXPECT_EQ(code, kHelpContentsState);
  EXPECT_EQ(out, "");
  // Lists nested deeper than any help file are refused, not followed.
  auto [deepCode, deep] = Merge(kHelpContents, {{"a.ini", "/A", "a.hhc", std::string(5000, '<') + "ul>"}});
  EXPECT_NE(deepCode, kHelpOk);
  std::string nested;
  for (int i = 0; i < 200; ++i) nested += "<ul>";
  auto [tooDeep, none] = Merge(kHelpContents, {{"a.ini", "/A", "a.hhc", nested}});
  EXPECT_EQ(tooDeep, kHelpContentsData);
}

TEST(HelpIndex, KeywordsSortedTopicsJoined) {
  auto [code, out] = Merge(kHelpIndex, {{"a.ini", "/A", "a.hhk", HelpText(Topic("Beta", "On Beta", "b.htm"))},
                                        {"b.ini", "/B", "b.hhk",
                                         HelpText(Topic("alpha", "On alpha", "a.htm") +
                                                  Topic("beta", "Also Beta", "b2.htm"))}});
  EXPECT_EQ(code, 0);
  EXPECT_LT(out.find("\"alpha\""), out.find("\"Beta\""));
  EXPECT_EQ(out.find("\"beta\""), std::string::npos);  // joined the existing keyword
  EXPECT_NE(out.find("  <li><object type=\"text/sitemap\">\r\n    <param name=\"Name\" value=\"Beta\">\r\n"
                     "    <param name=\"Name\" value=\"Also Beta\">\r\n    <param name=\"Local\" value=\"/B/b2.htm\">\r\n"
                     "    <param name=\"Name\" value=\"On Beta\">\r\n    <param name=\"Local\" value=\"/A/b.htm\">\r\n"
                     "  </object>\r\n"),
            std::string::npos)
      << out;
  // A keyword's own link is not part of the index format.
  auto [bad, none] = Merge(kHelpIndex, {{"a.ini", "/A", "a.hhk", HelpText(Object("kw", "x.htm"))}});
  EXPECT_EQ(bad, kHelpIndexState);
}

TEST(HelpText, Order) {
  EXPECT_LT(HelpTextCompare("\"alpha\"", "\"Beta\""), 0);
  EXPECT_EQ(HelpTextCompare("\"Beta\"", "\"beta\""), 0);
  EXPECT_LT(HelpTextCompare("\"print\"", "\"printer\""), 0);
  // Unquoted texts are compared whole: "the" and "thy" are two stop words.
  EXPECT_NE(HelpTextCompare("the", "thy"), 0);
}

// ---- Search ---------------------------------------------------------------------------

std::string SearchText(const std::string& topics, const std::string& keywords, const std::string& stops) {
  return topics + keywords + stops;
}

TEST(HelpSearch, OffsetsSharedKeywordsAndStopWords) {
  std::string a = SearchText("[TOPICS=3]\r\n\"A1\",\"a1.htm\"\r\n\"A2\",\"a2.htm\"\r\n\"A3\",\"a3.htm\"\r\n",
                             "[KEYWORDS=2]\r\n\"printer\", 1, 3\r\n\"disk\",2\r\n", "[STOPWORDS=2]\r\nthe\r\nof\r\n");
  // Sections in another order, a comment and a blank line.
  std::string b = SearchText("[STOPWORDS=1]\r\nThe\r\n", "[KEYWORDS=1]\r\n; comment\r\n\r\n\"Printer\", 2, 1\r\n",
                             "[TOPICS=2]\r\n\"B1\", \"b1.htm\" trailing\r\n\"B2\",\"b2.htm\"\r\n");
  auto [code, out] = Merge(kHelpSearch, {{"a.ini", "/A", "help/a.hhs", a}, {"b.ini", "/B", "b.hhs", b}});
  EXPECT_EQ(code, 0);
  EXPECT_EQ(out,
            "[TOPICS=5]\r\n\"A1\",\"/A/help/a1.htm\"\r\n\"A2\",\"/A/help/a2.htm\"\r\n\"A3\",\"/A/help/a3.htm\"\r\n"
            "\"B1\",\"/B/b1.htm\"\r\n\"B2\",\"/B/b2.htm\"\r\n\r\n"
            "[KEYWORDS=2]\r\n\"disk\", 2\r\n\"printer\", 5, 4, 3, 1\r\n\r\n"
            "[STOPWORDS=2]\r\nof\r\nthe\r\n");
}

TEST(HelpSearch, Failures) {
  std::string topics = "[TOPICS=1]\r\n\"T\",\"t.htm\"\r\n";
  std::string keywords = "[KEYWORDS=1]\r\n\"k\", 1\r\n";
  std::string stops = "[STOPWORDS=1]\r\nthe\r\n";
  struct {
    const char* what;
    std::string text;
    int code;
  } cases[] = {
      {"no topics", keywords + stops, kHelpNoTopicsSection},
      {"no keywords", topics + stops, kHelpNoKeywordsSection},
      {"no stop words", topics + keywords, kHelpNoStopWordsSection},
      {"[KEYWORDS=2] with three lines", topics + "[KEYWORDS=2]\r\n\"a\", 1\r\n\"b\", 1\r\n\"c\", 1\r\n" + stops,
       kHelpKeywords},
      {"topic count", "[TOPICS=2]\r\n\"T\",\"t.htm\"\r\n" + keywords + stops, kHelpTopics},
      {"topic count not a number", "[TOPICS=x]\r\n" + keywords + stops, kHelpTopics},
      {"topic without link", "[TOPICS=1]\r\n\"T\",t.htm\r\n" + keywords + stops, kHelpTopics},
      {"stop word count", topics + keywords + "[STOPWORDS=3]\r\nthe\r\n", kHelpStopWords},
      {"comma without number", topics + "[KEYWORDS=1]\r\n\"k\", 1,\r\n" + stops, kHelpKeywords},
  };
  for (const auto& c : cases) {
    auto [code, out] = Merge(kHelpSearch, {{"a.ini", "/A", "a.hhs", c.text}});
    EXPECT_EQ(code, c.code) << c.what;
    EXPECT_EQ(out, "") << c.what;
  }
}

// ---- Writing the files -------------------------------------------------------------------

class WriteTest : public PoolTest {};

TEST_F(WriteTest, LastFileFailingDeletesTheKind) {
  std::string path = root_ + "/drkhelp.hhc";
  WriteFile(path, "old");
  HelpAggregate agg(kHelpContents, BcLogSink());
  EXPECT_EQ(MergeContentsText(&agg, HelpText(Object("Good", "g.htm")).c_str(), "a"), 0);
  EXPECT_EQ(WriteHelpfiles(agg, path), 0);
  EXPECT_NE(ReadFile(path).find("/g.htm"), std::string::npos);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  agg.result = MergeContentsText(
      &agg, HelpText("<li><object type=\"text/sitemap\">\n<param name=\"Local\" value=\"x.htm\">\n").c_str(), "b");
  EXPECT_EQ(agg.result, kHelpContentsState);
  EXPECT_EQ(WriteHelpfiles(agg, path), kHelpContentsState);
  EXPECT_NE(stat(path.c_str(), &st), 0);
  EXPECT_NE(Log().find("Invalid state encountered while processing contents file."), std::string::npos);

  // Nothing to print: no footer, no entries.
  HelpAggregate index(kHelpIndex, BcLogSink());
  EXPECT_EQ(WriteHelpfiles(index, path), kHelpNoIndex);
  HelpAggregate search(kHelpSearch, BcLogSink());
  EXPECT_EQ(WriteHelpfiles(search, path), kHelpNoSearch);
}

TEST_F(WriteTest, WholeAggregationFromTheFixtureAgents) {
  std::string fixtures = std::string(KEL_FIXTURES) + "/legacy_help";
  std::vector<WebApp> apps = {Agent("Alpha", fixtures + "/agents/Alpha/html/", fixtures + "/agents/Alpha"),
                              Agent("Beta", fixtures + "/agents/Beta/ravlend/html/",
                                    fixtures + "/agents/Beta/ravlend/sm")};
  std::vector<std::string> unlist;
  apr_array_header_t* list =
      CollectVexoIniFiles(pool_, apps.data(), 2, fixtures + "/oldhelp", &unlist, BcLogSink());
  ASSERT_EQ(list->nelts, 3);
  ReadAllIniFiles(pool_, list, BcLogSink());
  std::filesystem::create_directories(root_ + "/out");
  BcMergedPaths paths{root_ + "/out/navfile.htm", root_ + "/out/drkhelp.hhc", root_ + "/out/drkhelp.hhk",
                      root_ + "/out/drkhelp.hhs"};
  buildAggregateNavigationFile(list, paths.navFile, BcLogSink());
  buildAggregateHelpFiles(list, paths, BcLogSink());
  std::string nav = ReadFile(paths.navFile);
  EXPECT_NE(nav.find("//VEXONAME = /Alpha \r\n"), std::string::npos);
  EXPECT_NE(nav.find("addNav(\"Beta\", \"<!./Beta/Status>\");"), std::string::npos);
  EXPECT_EQ(Count(nav, "addNav(\"Alpha\""), 1u);  // DRKVEXD.INI is not read
  std::string contents = ReadFile(paths.contents);
  EXPECT_EQ(contents.rfind("<html><head><title>Portal help</title></head><body>\r\n<ul>\r\n", 0), 0u) << contents;
  EXPECT_LT(contents.find("\"Portal Help\""), contents.find("\"Overview\""));
  EXPECT_NE(contents.find("/Alpha/help/start.htm"), std::string::npos);
  EXPECT_NE(contents.find("/Beta/intro.htm"), std::string::npos);
  EXPECT_NE(contents.find("value=\"/index.html\""), std::string::npos);
  std::string index = ReadFile(paths.index);
  EXPECT_LT(index.find("\"alpha\""), index.find("\"Beta\""));
  std::string search = ReadFile(paths.search);
  EXPECT_NE(search.find("[TOPICS=6]\r\n"), std::string::npos);
  EXPECT_NE(search.find("\"printer\", 6, 4, 2\r\n"), std::string::npos) << search;
  EXPECT_NE(search.find("[STOPWORDS=3]\r\nand\r\nof\r\nthe\r\n"), std::string::npos) << search;
}

TEST_F(WriteTest, SharedOpenWaitsForTheHolderAndTruncatesOnlyThen) {
  std::string path = root_ + "/held";
  WriteFile(path, "the holder's bytes");
  EXPECT_EQ(DrkVexoOpenSharedFileWithWait((root_ + "/none").c_str(), O_RDWR, kDrkShareNone, 0600, 3, BcLogSink()),
            -1);
  EXPECT_EQ(DrkVexoOpenSharedFileWithWait(path.c_str(), O_RDWR | O_CREAT | O_EXCL, kDrkShareNone, 0600, 3,
                                          BcLogSink()),
            -1);
  int holder = open(path.c_str(), O_RDWR);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  // Without a wait the held file is refused at once, and left whole.
  EXPECT_EQ(DrkVexoOpenSharedFileWithWait(path.c_str(), O_RDWR | O_TRUNC, kDrkShareNone, 0600, 0, BcLogSink()), -1);
  EXPECT_EQ(ReadFile(path), "the holder's bytes");
  std::thread release([holder] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    close(holder);
  });
  int fd = DrkVexoOpenSharedFileWithWait(path.c_str(), O_RDWR | O_TRUNC, kDrkShareNone, 0600, 30, BcLogSink());
  release.join();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadFile(path), "");
  close(fd);
}

}  // namespace
