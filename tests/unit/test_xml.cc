#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "kel_files.h"
#include "kel_test_env.h"
#include "kel_xml.h"

namespace {

using kel::XmlDocument;
using kel::XmlNode;
using kel::test::ReadFile;
using kel::test::WriteFile;

// Comments, CRLF line ends, single quotes, entities, an empty and a
// self-closed element: what a hand-edited settings file may hold.
const std::string kHandEdited =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    "<!-- edited by hand -->\r\n"
    "<kel-portal>\r\n"
    "  <admin-group>Domain Admins;wheel</admin-group>\r\n"
    "  <zqnamelist  ></zqnamelist>\r\n"
    "  <trustmode/>\r\n"
    "  <note lang='en' >a &amp; b &gt; c</note>\r\n"
    "  <nested><max-threads>100</max-threads></nested>\r\n"
    "</kel-portal>\r\n";

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  size_t at = s.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) s.replace(at, from.size(), to);
  return s;
}

TEST(XmlTest, UnchangedDocumentSavesItsOwnBytes) {
  auto doc = XmlDocument::Parse(kHandEdited);
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->Serialize(), kHandEdited);
}

TEST(XmlTest, ChangingOneValueChangesOnlyThoseBytes) {
  struct Case {
    const char* tag;
    const char* value;
    const char* before;
    const char* after;
  } cases[] = {
      {"admin-group", "ops", "<admin-group>Domain Admins;wheel</admin-group>", "<admin-group>ops</admin-group>"},
      {"zqnamelist", "a<b", "<zqnamelist  ></zqnamelist>", "<zqnamelist  >a&lt;b</zqnamelist>"},
      {"trustmode", "TrustByName", "<trustmode/>", "<trustmode>TrustByName</trustmode>"},
      {"note", "x & y", "a &amp; b &gt; c", "x &amp; y"},
      {"max-threads", "64", "<max-threads>100<", "<max-threads>64<"},
  };
  for (const Case& c : cases) {
    auto doc = XmlDocument::Parse(kHandEdited);
    ASSERT_TRUE(doc);
    XmlNode e = kel::XmlFindFirst(doc->DocumentNode(), c.tag);
    ASSERT_TRUE(e) << c.tag;
    ASSERT_TRUE(doc->SetText(e, c.value));
    EXPECT_STREQ(kel::XmlFirstChildText(e), c.value);
    EXPECT_EQ(doc->Serialize(), Replace(kHandEdited, c.before, c.after)) << c.tag;
    // A second change of the same element replaces the first.
    doc->SetText(e, "z");
    EXPECT_EQ(XmlDocument::Parse(doc->Serialize()) ? 1 : 0, 1);
    EXPECT_STREQ(kel::XmlFirstChildText(kel::XmlFindFirst(XmlDocument::Parse(doc->Serialize())->DocumentNode(), c.tag)),
                 "z");
  }
}

TEST(XmlTest, AppendedElementGoesBeforeTheRootEndTag) {
  auto doc = XmlDocument::Parse(kHandEdited);
  ASSERT_TRUE(doc);
  XmlNode added = doc->AppendElement(doc->Root(), "max-threads", "128");
  ASSERT_TRUE(added);
  doc->AppendElement(doc->Root(), "log-level", "warn");
  EXPECT_EQ(doc->Serialize(),
            Replace(kHandEdited, "</nested>\r\n</kel-portal>",
                    "</nested>\r\n<max-threads>128</max-threads><log-level>warn</log-level></kel-portal>"));
  // A self-closed parent opens up.
  auto small = XmlDocument::Parse("<r/>");
  small->AppendElement(small->Root(), "a", "1");
  EXPECT_EQ(small->Serialize(), "<r><a>1</a></r>");
}

TEST(XmlTest, FindReadAndMissingParts) {
  auto doc = XmlDocument::Parse("<r><a n='1'/><b><a n='2'>t</a></b><a><c/>x</a></r>");
  ASSERT_TRUE(doc);
  auto all = kel::XmlFindByTag(doc->DocumentNode(), "a");
  ASSERT_EQ(all.size(), 3u);
  EXPECT_STREQ(kel::XmlGetAttribute(all[1], "n"), "2");
  EXPECT_EQ(kel::XmlGetAttribute(all[2], "n"), nullptr);
  EXPECT_STREQ(kel::XmlFirstChildText(all[0]), "");   // no child
  EXPECT_STREQ(kel::XmlFirstChildText(all[1]), "t");
  EXPECT_STREQ(kel::XmlFirstChildText(all[2]), "");   // first child is an element
  EXPECT_EQ(kel::XmlFindByTag(kel::XmlFindFirst(doc->DocumentNode(), "b"), "a").size(), 1u);
  EXPECT_FALSE(kel::XmlFindFirst(doc->DocumentNode(), "none"));
  EXPECT_FALSE(XmlDocument::Parse("<r><a></r>"));
  EXPECT_FALSE(XmlDocument::Parse(""));
  EXPECT_EQ(XmlDocument::Create("kel-portal")->Serialize(),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<kel-portal></kel-portal>");
}

class XmlFileTest : public kel::test::TempBase {};

void DieBeforeRename(const char*) { raise(SIGKILL); }

TEST_F(XmlFileTest, WriterKilledBeforeTheRenameLeavesTheOldFile) {
  std::string path = Path("conf/kelpd.xml");
  WriteFile(path, kHandEdited);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto doc = XmlDocument::Load(path.c_str());
    std::string huge(1 << 20, 'x');
    doc->SetText(kel::XmlFindFirst(doc->DocumentNode(), "admin-group"), huge.c_str());
    kel::testing::SetBeforeRenameHook(DieBeforeRename);
    doc->Save(path.c_str());
    _exit(0);  // not reached
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
  EXPECT_EQ(ReadFile(path), kHandEdited);
  auto doc = XmlDocument::Load(path.c_str());
  ASSERT_TRUE(doc);
  EXPECT_STREQ(kel::XmlFirstChildText(kel::XmlFindFirst(doc->DocumentNode(), "admin-group")), "Domain Admins;wheel");
}

TEST_F(XmlFileTest, SaveAndLoadRoundTrip) {
  std::string path = Path("conf/kelpd.xml");
  WriteFile(path, kHandEdited);
  auto doc = XmlDocument::Load(path.c_str());
  ASSERT_TRUE(doc);
  doc->SetText(kel::XmlFindFirst(doc->DocumentNode(), "admin-group"), "ops");
  ASSERT_EQ(doc->Save(path.c_str()), 0);
  EXPECT_EQ(ReadFile(path), Replace(kHandEdited, "Domain Admins;wheel", "ops"));
  EXPECT_FALSE(XmlDocument::Load(Path("conf/missing.xml").c_str()));
}

}  // namespace
