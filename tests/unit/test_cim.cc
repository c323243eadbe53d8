// Group configuration's core: what a request says, the answers' bytes, and
// ModifyInstance and the activation of staged certificates on a real store.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>

#include <pugixml.hpp>

#include "cert_maker.h"
#include "cfg_certs.h"
#include "cfg_cim_ops.h"
#include "cfg_cim_request.h"
#include "kel_form.h"
#include "cfg_cim_response.h"
#include "config_fixture.h"
#include "kel_files.h"
#include "kel_xml.h"

namespace {

using kel::test::ReadFile;
using kel::test::WriteFile;

bool WellFormed(const std::string& text) {
  pugi::xml_document doc;
  return doc.load_string(text.c_str());
}

TEST(CimRequest, ObjectPathTellsTheClientKind) {
  struct Case {
    const char* header;
    CimClient kind;
  } cases[] = {
      {"root/dornik/proxy", CimClient::kLegacy},
      {"ROOT/Dornik/PROXY", CimClient::kLegacy},
      {"root%2Fdornik%2Fproxy", CimClient::kStandard},
      {"root%2fdornik%2fproxy%3ADrk_Proxy", CimClient::kStandard},
      {"root/qx/proxy", CimClient::kNone},
      {"root%2Fqx%2Fproxy", CimClient::kNone},
      {"root/dornik/proxyx", CimClient::kNone},
      {"root/dornik/proxy%00", CimClient::kNone},
      {nullptr, CimClient::kNone},
  };
  for (const Case& c : cases) EXPECT_EQ(ClassifyCimObject(c.header), c.kind) << (c.header ? c.header : "(null)");
  EXPECT_EQ(CimObjectPath("root%2Fdornik%2Ffoo"), "root/dornik/foo");
  EXPECT_EQ(CimObjectPath("root/dornik/100%"), "root/dornik/100%");
}

TEST(CimRequest, UrlDecodingAsTheWebServerDoesIt) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"a%2Bb%3d", "a+b="}, {"a+b", "a+b"},       {"%zz%4", "%zz%4"}, {"ab%00cd", "ab"},
      {"x%0a%0D", "x\n\r"}, {"%2F%25", "/%"},     {"", ""},           {"%", "%"},
  };
  for (const Case& c : cases) {
    std::string text = c.in;
    KelUrlDecode(&text);
    EXPECT_EQ(text, c.out) << c.in;
  }
}

TEST(CimRequest, MessageIdentifier) {
  EXPECT_EQ(CimMessageId("<CIM><MESSAGE ID=\"4711\" PROTOCOLVERSION=\"1.0\">"), 4711);
  EXPECT_EQ(CimMessageId("<CIM><MESSAGE PROTOCOLVERSION=\"1.0\">"), 0);
  EXPECT_EQ(CimMessageId("<MESSAGE ID=\"-3\""), -3);
  EXPECT_EQ(CimMessageId("MESSAGE ID"), 0);  // nothing after it
  EXPECT_EQ(CimMessageId("<MESSAGE ID=\"99999999999999\""), INT_MAX);
  EXPECT_EQ(CimMessageId("<MESSAGE ID=\"12\"><MESSAGE ID=\"13\">"), 12);
}

std::unique_ptr<kel::XmlDocument> Doc(const std::string& text) {
  auto doc = kel::XmlDocument::Parse(text);
  EXPECT_TRUE(doc) << text;
  return doc;
}

std::string Call(const char* element, const std::string& instances) {
  return std::string("<CIM><MESSAGE ID=\"7\"><SIMPLEREQ><") + element + " NAME=\"ModifyInstance\">" + instances +
         "</" + element + "></SIMPLEREQ></MESSAGE></CIM>";
}

const char kInstance[] =
    "<INSTANCE CLASSNAME=\"Drk_Proxy\"><PROPERTY NAME=\"TrustMode\" TYPE=\"string\">"
    "<QUALIFIER NAME=\"DISPLAYNAME\"><VALUE>Trust Mode</VALUE></QUALIFIER><VALUE>TrustByName</VALUE></PROPERTY>"
    "<PROPERTY NAME=\"ZQNameList\"><VALUE>a&amp;b</VALUE></PROPERTY>"
    "<PROPERTY NAME=\"TrustMode\"><VALUE>TrustByAll</VALUE></PROPERTY>"
    "<PROPERTY NAME=\"skipped\"></PROPERTY><PROPERTY><VALUE>x</VALUE></PROPERTY>"
    "<PROPERTY NAME=\"empty\"><VALUE/></PROPERTY></INSTANCE>";

TEST(CimRequest, ModifyInstancePropertiesAndFraming) {
  apr_pool_t* pool;
  apr_initialize();
  apr_pool_create(&pool, nullptr);
  struct Case {
    std::string body;
    CimFraming framing;
    int error, badClasses, properties;
  } cases[] = {
      {Call("IMETHODCALL", kInstance), CimFraming::kImethodCall, 0, 0, 3},
      {Call("METHODCALL", kInstance), CimFraming::kMethodCall, 0, 0, 3},
      // METHODCALL wins: the IMETHODCALL's instances are not read.
      {"<CIM><IMETHODCALL>" + std::string(kInstance) + "</IMETHODCALL><METHODCALL/></CIM>", CimFraming::kMethodCall,
       0, 0, 0},
      {"<CIM>" + std::string(kInstance) + "</CIM>", CimFraming::kNeither, 0, 0, 0},
      {Call("IMETHODCALL", "<INSTANCE CLASSNAME=\"Other\"/>" + std::string(kInstance) + "<INSTANCE/>"),
       CimFraming::kImethodCall, 4, 2, 3},
      {Call("IMETHODCALL", "<INSTANCE CLASSNAME=\"My_Drk_Proxy_2\"/>"), CimFraming::kImethodCall, 1, 0, 0},
  };
  for (const Case& c : cases) {
    apr_table_t* table = apr_table_make(pool, 4);
    auto doc = Doc(c.body);
    ASSERT_TRUE(doc);
    CimModifyCall call = CollectModifyInstances(*doc, table, false, nullptr, nullptr);
    EXPECT_EQ(call.framing, c.framing) << c.body;
    EXPECT_EQ(call.instanceError, c.error) << c.body;
    EXPECT_EQ(call.badClasses, c.badClasses) << c.body;
    EXPECT_EQ(apr_table_elts(table)->nelts, c.properties) << c.body;
    if (c.properties) {
      EXPECT_STREQ(apr_table_get(table, "TrustMode"), "TrustByAll");  // the later value
      EXPECT_STREQ(apr_table_get(table, "ZQNameList"), "a&b");
      EXPECT_STREQ(apr_table_get(table, "empty"), "");
    }
  }
  // A standard client's certificate value is decoded on its own.
  apr_table_t* table = apr_table_make(pool, 4);
  auto doc = Doc(Call("IMETHODCALL", "<INSTANCE CLASSNAME=\"Drk_Proxy\"><PROPERTY NAME=\"ZQCert0\"><VALUE>a%2Bb%3D"
                                     "</VALUE></PROPERTY><PROPERTY NAME=\"x\"><VALUE>%41</VALUE></PROPERTY></INSTANCE>"));
  CollectModifyInstances(*doc, table, true, nullptr, nullptr);
  EXPECT_STREQ(apr_table_get(table, "ZQCert0"), "a+b=");
  EXPECT_STREQ(apr_table_get(table, "x"), "%41");
  apr_pool_destroy(pool);
}

TEST(CimRequest, EntitiesOfADocumentTypeAreNotExpanded) {
  auto doc = Doc("<!DOCTYPE CIM [<!ENTITY x SYSTEM \"file:///etc/passwd\"><!ENTITY y \"yyyy\">]>" +
                 Call("IMETHODCALL", "<INSTANCE CLASSNAME=\"Drk_Proxy\"><PROPERTY NAME=\"a\"><VALUE>&x;&y;</VALUE>"
                                     "</PROPERTY></INSTANCE>"));
  ASSERT_TRUE(doc);
  apr_initialize();
  apr_pool_t* pool;
  apr_pool_create(&pool, nullptr);
  apr_table_t* table = apr_table_make(pool, 4);
  CollectModifyInstances(*doc, table, false, nullptr, nullptr);
  EXPECT_STREQ(apr_table_get(table, "a"), "&x;&y;");
  apr_pool_destroy(pool);
}

TEST(CimRequest, InstanceAskedFor) {
  auto doc = Doc("<CIM><IMETHODCALL NAME=\"GetInstance\"><IPARAMVALUE NAME=\"InstanceName\"><INSTANCENAME "
                 "CLASSNAME=\"Drk_Proxy\"><KEYBINDING NAME=\"OS Group\"><KEYVALUE>Properties</KEYVALUE></KEYBINDING>"
                 "</INSTANCENAME></IPARAMVALUE></IMETHODCALL></CIM>");
  EXPECT_EQ(CimRequestedInstance(*doc), "OS Group");
  EXPECT_EQ(CimRequestedInstance(*Doc("<CIM/>")), "");
}

TEST(CimResponse, SimpleAndErrorAnswersByteForByte) {
  EXPECT_EQ(CimSimpleResponse(CimDialect::kLegacy, 7, "IMETHODRESPONSE", "ModifyInstance"),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">\r\n"
            "<MESSAGE ID=\"7\" PROTOCOLVERSION=\"1.0\">\r\n<SIMPLERSP>\r\n<IMETHODRESPONSE NAME=\"ModifyInstance\"/>\r\n"
            "</SIMPLERSP>\r\n</MESSAGE>\r\n</CIM>\n");
  EXPECT_EQ(CimErrorResponse(CimDialect::kLegacy, 0, "METHODRESPONSE", "UnknownMethod", 1, CimErrorDescription(3)),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">\r\n"
            "<MESSAGE ID=\"0\" PROTOCOLVERSION=\"1.0\">\r\n<SIMPLERSP>\r\n<METHODRESPONSE NAME=\"UnknownMethod\">\r\n"
            "<ERROR CODE=\"1\" DESCRIPTION=\"Method call is not supported\n\"> \r\n</METHODRESPONSE>\r\n"
            "</SIMPLERSP>\r\n</MESSAGE>\r\n</CIM>\n");
  std::string simple = CimSimpleResponse(CimDialect::kStandard, 7, "IMETHODRESPONSE", "ModifyInstance");
  EXPECT_NE(simple.find("<IMETHODRESPONSE NAME=\"ModifyInstance\">\r\n</IMETHODRESPONSE>"), std::string::npos);
  std::string error = CimErrorResponse(CimDialect::kStandard, 7, "IMETHODRESPONSE", "A\"<&", 7, "x<y\n");
  EXPECT_NE(error.find("<ERROR CODE=\"7\" DESCRIPTION=\"x&lt;y\n\"/>"), std::string::npos) << error;
  EXPECT_TRUE(WellFormed(simple));
  EXPECT_TRUE(WellFormed(error)) << error;
  const char* descriptions[] = {"Invalid CIMXML parameter(s) \n", "ModifyInstance Property List is empty\n",
                                "ApplyToAll Message ID can't be found\n", "Method call is not supported\n",
                                "Invalid Instance Classname\n", "Failed to generate a valid EnumerateInstance response"};
  for (int i = 0; i < 6; ++i) EXPECT_STREQ(CimErrorDescription(i), descriptions[i]);
  EXPECT_STREQ(CimErrorDescription(9), descriptions[0]);
}

TEST(CimResponse, CertificateValueEncoding) {
  EXPECT_EQ(CimOsEscapePath("a b\n<%\"#?\x80;/=+&~"), "a%20b%0a%3c%25%22%23%3f%80;/=+&~");
  EXPECT_EQ(CimCertificateValue("-----BEGIN CERTIFICATE-----\nab+c==\n-----END CERTIFICATE-----\n"),
            "-----BEGIN+CERTIFICATE-----%0aab%2Bc%3D%3D%0a-----END+CERTIFICATE-----%0a");
  EXPECT_EQ(CimCertificateValue(std::string(5000, 'a')).size(), 4095u);
  // A value cut inside its escaping stays cut after each step.
  EXPECT_EQ(CimCertificateValue(std::string(2000, '=')).size(), 4095u);
}

TEST(CimResponse, EnumerationEscapesEveryValue) {
  CimSnapshot s;
  for (const CimProperty& p : CimPropertyTable()) s.values.push_back(p.name);
  s.values[0] = "a&b<c>";
  s.certificates.push_back({"-----BEGIN CERTIFICATE-----\nx+y=\n", "R&D <mgmt>", ""});
  std::string text = CimEnumerationHead(42) + CimEnumerationBody(s);
  ASSERT_TRUE(WellFormed(text)) << text;
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">\n"
                       "<MESSAGE ID=\"42\" PROTOCOLVERSION=\"1.0\">\n<SIMPLERSP>\n<IMETHODRESPONSE NAME=\""
                       "EnumerateInstances\">\n<IRETURNVALUE>\n<VALUE.NAMEDINSTANCE>\n<INSTANCENAME CLASSNAME="
                       "\"Drk_Proxy\"> \n<KEYBINDING NAME=\"OS Group\"> \n<KEYVALUE>Properties</KEYVALUE> \n",
                       0),
            0u);
  EXPECT_NE(text.find("<PROPERTY NAME=\"admin-group\" PROPAGATED=\"true\" TYPE=\"string\"> \n<QUALIFIER NAME="
                      "\"DISPLAYNAME\" TYPE=\"string\">\n<VALUE>Administrator Group</VALUE>\n</QUALIFIER>\n"
                      "<VALUE>a&amp;b&lt;c&gt;</VALUE>\n</PROPERTY>\n"),
            std::string::npos);
  EXPECT_NE(text.find("<PROPERTY NAME=\"ZQCert0\" PROPAGATED=\"true\" TYPE=\"string\"> \n<QUALIFIER NAME="
                      "\"DISPLAYNAME\" TYPE=\"string\">\n<VALUE>Trusted Certificate</VALUE>\n</QUALIFIER>\n"
                      "<QUALIFIER NAME=\"DISPLAYPROPERTYVALUE\" TYPE=\"string\">\n<VALUE>R&amp;D &lt;mgmt&gt;</VALUE>"
                      "</QUALIFIER><VALUE>-----BEGIN+CERTIFICATE-----%0ax%2By%3D%0a</VALUE>\n</PROPERTY>\n"),
            std::string::npos);
  const std::string tail =
      "</INSTANCE> \n</VALUE.NAMEDINSTANCE> \n\n</IRETURNVALUE> \n</IMETHODRESPONSE> \n</SIMPLERSP> \n</MESSAGE> \n"
      "</CIM> \n";
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  // The properties in the table's order.
  size_t last = 0;
  for (const CimProperty& p : CimPropertyTable()) {
    size_t at = text.find(std::string("<PROPERTY NAME=\"") + p.name + "\"");
    ASSERT_NE(at, std::string::npos) << p.name;
    EXPECT_GT(at, last) << p.name;
    last = at;
  }
  std::string one;
  ASSERT_TRUE(CimInstanceResponse(s, 5, "Trusted Certificate", &one));
  EXPECT_TRUE(WellFormed(one));
  EXPECT_FALSE(CimInstanceResponse(s, 5, "Nothing", &one));
  EXPECT_TRUE(WellFormed(CimClassResponse(3)));
}

// ModifyInstance and ApplyToAll's activation on a real settings file and store.
class CimStoreTest : public kel::test::ConfigModuleTest {
 protected:
  void SetUp() override {
    ConfigModuleTest::SetUp();
    WriteFile(Path("conf/kelpd.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<kel-portal>\n<trustmode>TrustByCert</trustmode>\n"
              "<ui-timeout>20</ui-timeout>\n</kel-portal>");
    SetCimResponseForm(CimFraming::kImethodCall);
  }
  CimOutcome Modify(const std::string& body, CimDialect dialect = CimDialect::kLegacy) {
    CimFraming framing;
    return CimModifyInstance(pool_, config_, body, 9, dialect, &framing, nullptr, nullptr);
  }
  static std::string Instance(const std::string& properties) {
    return "<INSTANCE CLASSNAME=\"Drk_Proxy\">" + properties + "</INSTANCE>";
  }
  static std::string Property(const std::string& name, const std::string& value) {
    return "<PROPERTY NAME=\"" + name + "\"><VALUE>" + value + "</VALUE></PROPERTY>";
  }
};

TEST_F(CimStoreTest, ModifyInstanceWritesTheFileAndAnswersInTheRequestsForm) {
  CimOutcome out = Modify(Call("METHODCALL", Instance(Property("TrustMode", "TrustByName") +
                                                      Property("ZQNameList", "a.example,b.example"))));
  EXPECT_EQ(out.result, 1);
  EXPECT_EQ(out.text, CimSimpleResponse(CimDialect::kLegacy, 9, "METHODRESPONSE", "ModifyInstance"));
  EXPECT_EQ(CimResponseForm(), CimFraming::kMethodCall);
  std::string settings = ReadFile(Path("conf/kelpd.xml"));
  EXPECT_NE(settings.find("<trustmode>TrustByName</trustmode>"), std::string::npos);
  EXPECT_NE(settings.find("<zqnamelist>a.example;b.example</zqnamelist>"), std::string::npos);
  EXPECT_STREQ(GetSettingText(pool_, "trustmode"), "TrustByCert");  // memory waits for the restart
  EXPECT_FALSE(std::filesystem::exists(CimomXmlPath()));
  // The enumeration shows lists with commas.
  SetCimResponseForm(CimFraming::kImethodCall);
  EXPECT_NE(CimEnumerate(config_, 1, CimDialect::kLegacy).find("<VALUE>TrustByCert</VALUE>"), std::string::npos);
}

TEST_F(CimStoreTest, RefusedValuesForeignClassesAndBrokenDocuments) {
  std::string settings = ReadFile(Path("conf/kelpd.xml"));
  CimOutcome out = Modify(Call("IMETHODCALL", Instance(Property("TrustMode", "TrustByAll") +
                                                       Property("ui-timeout", "0"))));
  EXPECT_EQ(out.text, CimErrorResponse(CimDialect::kLegacy, 9, "IMETHODRESPONSE", "ModifyInstance", 1,
                                       "Invalid CIMXML parameter(s) \n"));
  EXPECT_EQ(ReadFile(Path("conf/kelpd.xml")), settings);  // wholly old
  std::string foreign = CimErrorResponse(CimDialect::kLegacy, 9, "IMETHODRESPONSE", "ModifyInstance", 1,
                                         "Invalid Instance Classname\n");
  out = Modify(Call("IMETHODCALL", "<INSTANCE CLASSNAME=\"CIM_Other\"><PROPERTY NAME=\"TrustMode\"><VALUE>"
                                   "TrustByAll</VALUE></PROPERTY></INSTANCE>"));
  EXPECT_EQ(out.text, foreign + foreign);
  // A standard client hears only the final answer, well-formed.
  out = Modify(Call("IMETHODCALL", "<INSTANCE CLASSNAME=\"CIM_Other\"/>"), CimDialect::kStandard);
  EXPECT_TRUE(WellFormed(out.text)) << out.text;
  // Framed as neither: the older clients' answers are empty.
  EXPECT_EQ(Modify("<CIM/>").text, "");
  EXPECT_EQ(CimResponseForm(), CimFraming::kNeither);
  EXPECT_EQ(CimFormedSimple(1, "ApplyToAll"), "");
  for (const char* broken : {"", "<CIM>", "<CIM></MESSAGE>", "\x01\x02"}) {
    EXPECT_EQ(Modify(broken).result, -1) << broken;
    EXPECT_FALSE(std::filesystem::exists(CimomXmlPath()));
  }
  EXPECT_NE(Log().find("Group configuration ModifyInstance request refused"), std::string::npos);
  EXPECT_EQ(ReadFile(Path("conf/kelpd.xml")), settings);
}

TEST_F(CimStoreTest, CertificatesAreStagedThenActivated) {
  ASSERT_EQ(AddRawCertificate(config_, kel::test::MakePem("old.example").c_str(), true, false), KEL_CERT_OK);
  EXPECT_EQ(ActivateStagedCertificates(), 0);  // nothing staged: nothing purged
  EXPECT_TRUE(std::filesystem::exists(Path("certs/old.example.pem")));
  std::string pem = kel::test::MakePem("new.example");
  CimOutcome out = Modify(Call("IMETHODCALL", Instance(Property("ZQCert0", CimCertificateValue(pem)))),
                          CimDialect::kStandard);
  EXPECT_NE(out.text.find("<IMETHODRESPONSE NAME=\"ModifyInstance\">"), std::string::npos) << out.text;
  EXPECT_TRUE(std::filesystem::exists(Path("certs/new.example.pem.ras")));
  EXPECT_EQ(ActivateStagedCertificates(), 1);
  EXPECT_FALSE(std::filesystem::exists(Path("certs/new.example.pem.ras")));
  EXPECT_FALSE(std::filesystem::exists(Path("certs/old.example.pem")));
  EXPECT_EQ(ReadFile(Path("certs/new.example.pem")).substr(0, 27), "-----BEGIN CERTIFICATE-----");
}

TEST_F(CimStoreTest, HalfStagedBatchLeavesNothingStaged) {
  // The second certificate cannot be stored: the first is not left staged.
  kel::testing::SetBeforeRenameHook([](const char* staged) {
    static int n = 0;
    if (strstr(staged, "tempZQCert") && ++n == 2) unlink(staged);
  });
  CimOutcome out = Modify(Call("IMETHODCALL", Instance(Property("ZQCert0", CimCertificateValue(kel::test::MakePem("a.example"))) +
                                                       Property("ZQCert1", CimCertificateValue(kel::test::MakePem("b.example"))))),
                          CimDialect::kStandard);
  kel::testing::SetBeforeRenameHook(nullptr);
  EXPECT_NE(out.text.find("Invalid CIMXML parameter(s)"), std::string::npos);
  for (const auto& e : std::filesystem::directory_iterator(Path("certs")))
    EXPECT_EQ(e.path().string().find(".ras"), std::string::npos) << e.path();
}

}  // namespace
