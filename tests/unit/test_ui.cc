// The UI module's text rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cert_maker.h"
#include "ui_core.h"

using Strings = std::vector<std::string>;

TEST(UiCore, QueryTokensSkipEmptyPieces) {
  EXPECT_EQ(UiQueryTokens("JS&&username&"), (Strings{"JS", "username"}));
  EXPECT_EQ(UiQueryTokens(""), Strings{});
  EXPECT_EQ(UiQueryTokens(nullptr), Strings{});
  EXPECT_TRUE(UiIsScriptToken("javascript"));
  EXPECT_TRUE(UiIsScriptToken("Js"));
  EXPECT_FALSE(UiIsScriptToken("XML"));
  EXPECT_EQ(UiTagOfToken("username=abc=d"), "username");
  EXPECT_EQ(UiTagOfToken("certlist"), "certlist");
}

TEST(UiCore, ServerNameOfTheCertificateTag) {
  struct Case {
    const char* query;
    bool present;
    const char* name;
  } cases[] = {
      {"JS&servercert", false, ""},
      {"JS&servercert=", true, ""},
      {"JS&servercert=mgmt.example&certlist", true, "mgmt.example"},
      {"JS&servercertx=a", true, "a"},  // the tag's text, then up to "&" or "="
      {"JS&servercert&x=y", false, ""},
      {"JS&servercert=\";alert(1);//", true, "\";alert(1);//"},
      {"JS&SERVERCERT=a", false, ""},  // the search keeps the case
  };
  for (const Case& c : cases) {
    std::string name = "left over";
    EXPECT_EQ(UiServerNameInQuery(c.query, "servercert", &name), c.present) << c.query;
    EXPECT_EQ(name, c.name) << c.query;
  }
}

TEST(UiCore, CertificateLines) {
  struct Case {
    std::string text;
    Strings lines;
  } cases[] = {
      {"-----BEGIN CERT\r\nAB+/=\r\n-----END\r\n", {"-----BEGIN CERT", "AB+/=", "-----END", ""}},
      {"-----BEGIN CERT\nAB\n-----END\n", {"-----BEGIN CERT", "AB", "-----END", ""}},
      {"a\nb", {"a", "b"}},
      {"a\nb\rc", {"a", "b\rc"}},  // a lone CR with no LF after it
      {"a\rxb\nc", {"a", "b", "c"}},  // a CR before the LF: two characters on
      {"", {""}},
  };
  for (const Case& c : cases) EXPECT_EQ(UiCertLines(c.text), c.lines) << c.text;
}

TEST(UiCore, SmallRules) {
  EXPECT_EQ(UiFileNamePart("/opt/certs/a.pem"), "a.pem");
  EXPECT_EQ(UiFileNamePart("C:\\certs\\b.pem"), "b.pem");
  EXPECT_EQ(UiFileNamePart("c.pem"), "c.pem");
  EXPECT_EQ(UiLoginPiece("say \"hi\"\r\n"), "say  hi ");
  EXPECT_EQ(UiLoginPiece("a\fb"), "a");
  EXPECT_TRUE(UiIsLocalAccount("qxkel_local_administrator"));
  EXPECT_TRUE(UiIsLocalAccount("qxkel_local_anonymous"));
  EXPECT_FALSE(UiIsLocalAccount("QXKEL_LOCAL_ADMINISTRATOR"));
  EXPECT_FALSE(UiIsLocalAccount(nullptr));
  EXPECT_EQ(UiHttpStatus("HTTP/1.0 200 OK\r\n"), 200);
  EXPECT_EQ(UiHttpStatus("HTTP/1.1 404 \r\n"), 404);
  EXPECT_EQ(UiHttpStatus("garbage"), 0);
}

TEST(UiCore, RequestLineValues) {
  std::string v;
  EXPECT_TRUE(UiValueBeforeAmpersand("GET /proxy/kelui/getaiccert?a=1&ZQ=srv&b HTTP/1.1", "&ZQ=", &v));
  EXPECT_EQ(v, "srv");
  EXPECT_FALSE(UiValueBeforeAmpersand("GET /proxy/kelui/getaiccert?ZQ=srv HTTP/1.1", "&ZQ=", &v));
  EXPECT_FALSE(UiValueBeforeAmpersand("GET /proxy/kelui/getaiccert?a&ZQ=srv HTTP/1.1", "&ZQ=", &v));
  EXPECT_EQ(UiRedirectTextRaw("ZQName=s&RedirectSsoUrl=/x%2Fy"), "/x%2Fy");
  EXPECT_EQ(UiRedirectTextRaw(nullptr), "");
  EXPECT_EQ(UiRedirectTextOfTokens("RedirectSsoUrl=/a&x&RedirectSsoUrl=/home"), "/home");
  EXPECT_EQ(UiRedirectTextOfTokens("x"), "");
}

TEST(UiCore, LogSelector) {
  struct Case {
    const char* query;
    int which;
  } cases[] = {{"text&kellog", 0}, {"TEXT&OrvLog", 1}, {"text", -1}, {"html&kellog", -1}, {"text&other", -1}, {"", -1}};
  for (const Case& c : cases) EXPECT_EQ(UiLogSelector(c.query), c.which) << c.query;
}

TEST(UiCore, CertificateCookieAmongOthers) {
  std::string pem;
  // "-----BEGIN CERT" in Base64, then the next cookie.
  EXPECT_TRUE(UiZqCertFromCookies("a=b; ZQCert=LS0tLS1CRUdJTiBDRVJU; c=d", &pem));
  EXPECT_EQ(pem, "-----BEGIN CERT");
  EXPECT_FALSE(UiZqCertFromCookies("a=b", &pem));
  EXPECT_FALSE(UiZqCertFromCookies(nullptr, &pem));
}

TEST(UiCore, LocationTextAndSessionFile) {
  EXPECT_EQ(UiLocationText("/home?a=1&b"), "/home?a=1&b");
  EXPECT_EQ(UiLocationText("a b\r\nSet-Cookie: x"), "a%20b%0D%0ASet-Cookie:%20x");
  EXPECT_EQ(UiSessionCertPath("/opt/session/abc"), "/opt/session/abc/keluicrt.pem");
  EXPECT_EQ(UiSessionCertPath("/opt/session/abc/"), "/opt/session/abc/keluicrt.pem");
  EXPECT_EQ(UiSessionCertPath("relative/dir"), "");
  EXPECT_EQ(UiSessionCertPath("/opt/session/../etc"), "");
  EXPECT_EQ(UiSessionCertPath(nullptr), "");
}

TEST(UiCore, CertificateFactsForTheCertificatesPage) {
  std::string pem = kel::test::MakePem("portal.example");
  UiCertFacts facts;
  ASSERT_TRUE(UiCertificateFacts(pem, &facts));
  EXPECT_EQ(facts.subject, "O = Management, CN = portal.example");
  EXPECT_EQ(facts.issuer, facts.subject);
  EXPECT_NE(facts.notBefore.find("GMT"), std::string::npos);
  EXPECT_NE(facts.notAfter.find("GMT"), std::string::npos);
  ASSERT_EQ(facts.sha256.size(), 32u * 3 - 1);  // "AB:CD:..."
  EXPECT_EQ(facts.sha256[2], ':');
  EXPECT_FALSE(UiCertificateFacts("not a certificate", &facts));
  EXPECT_FALSE(UiCertificateFacts("", &facts));
}
