// Form and query decoding, and what GetKELData and SetKELData read with it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cfg_keldata.h"
#include "config_fixture.h"
#include "kel_form.h"

namespace {

struct DecodeCase {
  const char* in;
  bool ok;
  const char* out;  // what the value holds afterwards
};

TEST(FormDecode, Cases) {
  const DecodeCase cases[] = {
      {"", true, ""},
      {"a+b", true, "a b"},
      {"a%2Bb", true, "a+b"},            // an encoded plus stays a plus
      {"p%2Fw%3D%3D", true, "p/w=="},    // an encoded "/" is taken
      {"%C3%A9", true, "\xC3\xA9"},
      {"a%zzb", false, "a%zzb"},         // malformed: unchanged
      {"a%4", false, "a%4"},
      {"a%00b", false, "a%00b"},         // an encoded zero byte is refused
      {"plain", true, "plain"},
  };
  for (const DecodeCase& c : cases) {
    std::string value = c.in;
    EXPECT_EQ(KelFormDecode(&value), c.ok) << c.in;
    EXPECT_EQ(value, c.out) << c.in;
  }
  std::string raw("ab\0cd", 5);  // a zero byte as sent ends the value
  EXPECT_TRUE(KelFormDecode(&raw));
  EXPECT_EQ(raw, "ab");
}

TEST(FormField, FirstFieldOfTheNameDecoded) {
  const std::string body = "xuser=no&user=alice+b&password=p%2Fw&user=second&bad=%zz";
  EXPECT_EQ(KelFormField(body, "user"), "alice b");
  EXPECT_EQ(KelFormField(body, "password"), "p/w");
  EXPECT_EQ(KelFormField(body, "bad"), "");
  EXPECT_EQ(KelFormField(body, "missing"), "");
  EXPECT_EQ(KelFormField("user=", "user"), "");
  EXPECT_EQ(KelFormField("&&user=x&", "user"), "x");
}

TEST(UrlDecode, AsTheWebServerDecodesAUrl) {
  const DecodeCase cases[] = {
      {"a+b%20c", true, "a+b c"},      // "+" stays
      {"%2F%41", true, "/A"},
      {"a%zz%41", false, "a%zzA"},     // decoding goes on past a malformed escape
      {"ab%00cd", true, "ab"},         // the text ends at a decoded zero byte
  };
  for (const DecodeCase& c : cases) {
    std::string text = c.in;
    EXPECT_EQ(KelUrlDecode(&text), c.ok) << c.in;
    EXPECT_EQ(text, c.out) << c.in;
  }
}

TEST(KelDataQuery, PiecesDecodedWithoutEmptyOnes) {
  using Pieces = std::vector<std::string>;
  EXPECT_EQ(KelDataQueryPieces("Jscript&admin-group&&trustmode&"), (Pieces{"Jscript", "admin-group", "trustmode"}));
  EXPECT_EQ(KelDataQueryPieces("%4Ascript%26zqnamelist"), (Pieces{"Jscript", "zqnamelist"}));
  EXPECT_EQ(KelDataQueryPieces("&&"), Pieces{});
  EXPECT_EQ(KelDataQueryPieces(nullptr), Pieces{});
}

class KelDataTest : public kel::test::ConfigModuleTest {};

TEST_F(KelDataTest, ScriptOfTheNamedSettingsInOrder) {
  std::string one = KelDataScript(config_, {"Jscript", "trustmode"});
  std::string both = KelDataScript(config_, {"Jscript", "trustmode", "no-such-setting", "admin-group"});
  EXPECT_NE(one.find("TrustByCert"), std::string::npos);
  EXPECT_EQ(both.compare(0, one.size(), one), 0);
  EXPECT_GT(both.size(), one.size());
  EXPECT_EQ(KelDataScript(config_, {"trustmode"}), "");  // the first piece is the format
}

TEST_F(KelDataTest, FormPairsUntilOneWithoutAName) {
  apr_table_t* form = apr_table_make(pool_, 4);
  ASSERT_TRUE(ReadKelDataForm("trustmode=TrustByName&zqnamelist=a%3Bb&flag&=x&after=1", form));
  EXPECT_STREQ(apr_table_get(form, "trustmode"), "TrustByName");
  EXPECT_STREQ(apr_table_get(form, "zqnamelist"), "a;b");
  EXPECT_STREQ(apr_table_get(form, "flag"), "");
  EXPECT_EQ(apr_table_get(form, "after"), nullptr);
}

TEST_F(KelDataTest, MarkupQueriesAndMalformedValuesRefuseTheForm) {
  for (const char* body : {"a=1&admin-group=%3Cscript%3E", "zqnamelist=a%3Fb", "x=%3E", "trustmode=%zz"}) {
    apr_table_t* form = apr_table_make(pool_, 4);
    EXPECT_FALSE(ReadKelDataForm(body, form)) << body;
  }
}

}  // namespace
