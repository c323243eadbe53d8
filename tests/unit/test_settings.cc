#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "kel_test_env.h"
#include "svc_settings.h"

namespace {

using kel::test::ReadFile;
using kel::test::WriteFile;

class SettingsTest : public kel::test::TempBase {
 protected:
  void SetUp() override {
    TempBase::SetUp();
    g_osDefaults = OsDefaults{};  // this platform's: no lock, rotate
  }
  // A settings file with the given elements inside the root.
  void Settings(const std::string& body) {
    WriteFile(Path("conf/kelpd.xml"), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<kel-portal>\n" + body +
                                          "\n</kel-portal>");
  }
  int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
  const ServiceSettings& s = g_serviceSettings;
};

TEST_F(SettingsTest, EmptyConfDirectoryGetsTheDefaultFile) {
  std::filesystem::remove_all(Path("conf"));
  ASSERT_EQ(LoadSettings(), 0);
  std::string written = ReadFile(Path("conf/kelpd.xml"));
  EXPECT_EQ(written, kDefaultSettingsFile);
  EXPECT_EQ(written.size(), 621u);
  EXPECT_EQ(Count(written, "\n"), 16);

  std::string conf = ReadFile(Path("conf/kelpd.conf"));
  EXPECT_NE(conf.find("    #IP_RESTRICTION_BLOCK\n"), std::string::npos);
  EXPECT_EQ(conf.find("allow from"), std::string::npos);
  EXPECT_NE(conf.find("ThreadsPerChild     250\n"), std::string::npos);
  EXPECT_FALSE(s.bindListedNetworks);
  EXPECT_EQ(Count(conf, "listen 127.0.0.1:2301\n"), 1);
  EXPECT_EQ(Log(), "");  // a missing file is replaced silently
}

TEST_F(SettingsTest, MaxThreadsBounds) {
  struct {
    const char* value;
    int threads;
    bool logged;
  } cases[] = {{"63", 250, true}, {"513", 250, true}, {"64", 64, false}, {"512", 512, false}, {"abc", 250, true}};
  for (const auto& c : cases) {
    std::filesystem::remove(Path("logs/kel.log"));
    Settings(std::string("<max-threads>") + c.value + "</max-threads>");
    ASSERT_EQ(LoadSettings(), 0);
    EXPECT_EQ(s.maxThreads, c.threads) << c.value;
    bool logged = Log().find("max-threads in XML file is outside of allowed bounds, using default value.") !=
                  std::string::npos;
    EXPECT_EQ(logged, c.logged) << c.value;
  }
}

TEST_F(SettingsTest, OneCharacterDigitsAndWords) {
  struct {
    const char* body;
    bool lock, rotate, monitor, sslv2Disabled, acceptEx;
    const char* level;
  } cases[] = {
      {"<lock-ports>01</lock-ports>", false, true, false, true, false, "error"},
      {"<lock-ports>1</lock-ports><rotate-logs>2</rotate-logs>", true, false, false, true, false, "error"},
      {"<monitor-ip-changes>1</monitor-ip-changes><rotate-logs>3</rotate-logs>", false, true, true, true, false,
       "error"},
      {"<disable-sslv2>false</disable-sslv2>", false, true, false, false, false, "error"},
      {"<disable-sslv2>no</disable-sslv2><log-level>WARN</log-level>", false, true, false, true, false, "warn"},
      {"<log-level>verbose</log-level><win32-disable-acceptex>TRUE</win32-disable-acceptex>", false, true, false,
       true, true, "error"},
      {"<log-level>Crit</log-level>", false, true, false, true, false, "crit"},
  };
  for (const auto& c : cases) {
    Settings(c.body);
    ASSERT_EQ(LoadSettings(), 0) << c.body;
    EXPECT_EQ(s.lockLegacyPort, c.lock) << c.body;
    EXPECT_EQ(s.rotateLogs, c.rotate) << c.body;
    EXPECT_EQ(s.monitorAddressChanges, c.monitor) << c.body;
    EXPECT_EQ(s.sslv2Disabled, c.sslv2Disabled) << c.body;
    EXPECT_EQ(s.disableAcceptEx, c.acceptEx) << c.body;
    EXPECT_EQ(s.logLevel, c.level) << c.body;
  }
}

TEST_F(SettingsTest, PresentButEmptyBindingCountsAsPresent) {
  Settings("<ip-binding></ip-binding><ip-binding-list>10.0.0.0/255.0.0.0</ip-binding-list>");
  ASSERT_EQ(LoadSettings(), 0);
  EXPECT_FALSE(s.bindListedNetworks);
  ASSERT_TRUE(s.bindingList);
  EXPECT_EQ(*s.bindingList, "10.0.0.0/255.0.0.0");

  Settings("<ip-binding-list>10.0.0.0/255.0.0.0</ip-binding-list>");
  ASSERT_EQ(LoadSettings(), 0);
  EXPECT_FALSE(s.bindingList);  // taken only when ip-binding is present
}

TEST_F(SettingsTest, RestrictionListsAreReadOnlyWhenRestricted) {
  Settings("<ip-restricted-logins>False</ip-restricted-logins><ip-restricted-include>10.0.0.5</ip-restricted-include>");
  ASSERT_EQ(LoadSettings(), 0);
  EXPECT_FALSE(s.restrictLogins);
  EXPECT_FALSE(s.includeList);

  Settings("<ip-restricted-logins>true</ip-restricted-logins><ip-restricted-include>10.0.0.5</ip-restricted-include>");
  ASSERT_EQ(LoadSettings(), 0);
  EXPECT_TRUE(s.restrictLogins);
  EXPECT_EQ(s.includeList.value_or(""), "10.0.0.5");
  EXPECT_FALSE(s.excludeList);
  std::string conf = ReadFile(Path("conf/kelpd.conf"));
  EXPECT_NE(conf.find("    AllowOverride None\n#\norder allow,deny\nallow from 127.0.0.1\nallow from 10.0.0.5\n</Directory>"),
            std::string::npos);
}

TEST_F(SettingsTest, SecondReadForgetsRemovedElements) {
  Settings("<max-threads>100</max-threads><log-level>debug</log-level>");
  ASSERT_EQ(LoadSettings(), 0);
  EXPECT_EQ(s.maxThreads, 100);
  Settings("");
  ASSERT_EQ(LoadSettings(), 0);
  EXPECT_EQ(s.maxThreads, 250);
  EXPECT_EQ(s.logLevel, "error");
}

TEST_F(SettingsTest, TruncatedFileIsReplacedByTheDefault) {
  WriteFile(Path("conf/kelpd.xml"), "<?xml version=\"1.0\"?>\n<kel-portal>\n<max-threads>100</max-thr");
  ASSERT_EQ(LoadSettings(), 0);
  EXPECT_EQ(ReadFile(Path("conf/kelpd.xml")), kDefaultSettingsFile);
  EXPECT_EQ(s.maxThreads, 250);
  std::string log = Log();
  EXPECT_NE(log.find("INFORMATION LOG (severity=0)"), std::string::npos);
  EXPECT_NE(log.find("Configuration file is corrupted or missing, a default configuration file has been generated "
                     "for you for proper startup,you have to reset the configuration to your desired settings."),
            std::string::npos);
}

TEST_F(SettingsTest, ExistingParsableFileIsNeverChanged) {
  const std::string body = "<!-- mine -->\n<max-threads>100</max-threads>";
  Settings(body);
  std::string before = ReadFile(Path("conf/kelpd.xml"));
  ASSERT_EQ(LoadSettings(), 0);
  EXPECT_EQ(ReadFile(Path("conf/kelpd.xml")), before);
}

TEST_F(SettingsTest, UnwritableSettingsFileFails) {
  std::filesystem::remove_all(Path("conf"));
  WriteFile(Path("conf"), "not a directory");
  EXPECT_EQ(WriteDefaultSettings(false), 1);
  EXPECT_EQ(LoadSettings(), 1);
}

TEST_F(SettingsTest, EachWriteMakesOneMissingLevel) {
  setenv("KELSVC_BASE_DIR", (root_ + "/new/base").c_str(), 1);
  setenv("KELSVC_WRITE_DIR", (root_ + "/new/base").c_str(), 1);  // where the settings file lives
  EXPECT_EQ(WriteDefaultSettings(false), 1);  // makes new/
  EXPECT_EQ(WriteDefaultSettings(false), 1);  // makes new/base/
  EXPECT_EQ(WriteDefaultSettings(false), 0);  // makes new/base/conf/ and the file
  EXPECT_EQ(ReadFile(root_ + "/new/base/conf/kelpd.xml"), kDefaultSettingsFile);
}

TEST_F(SettingsTest, LogDirectoryMustBeAPlainAbsolutePath) {
  struct {
    const char* value;
    const char* dir;  // relative to the base directory's parent, or absolute
  } cases[] = {
      {"/var/log/qxkel", "/var/log/qxkel"},
      {"\\var\\log\\kel", "/var/log/kel"},
      {"|/bin/sh -c id", nullptr},
      {"/tmp/x\nLoadModule evil /tmp/evil.so", nullptr},
      {"relative/logs", nullptr},
      {"/tmp/${HOME}", nullptr},
  };
  for (const auto& c : cases) {
    ServiceSettings settings;
    settings.logDirectory = c.value;
    EXPECT_EQ(ResolveLogDirectory(settings), c.dir ? c.dir : base_) << c.value;
  }
  setenv("KELSVCM_LOG_DIR", "/srv/kel", 1);
  EXPECT_EQ(ResolveLogDirectory(ServiceSettings{}), "/srv/kel");
  unsetenv("KELSVCM_LOG_DIR");
}

}  // namespace
