#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "kel_dirs.h"
#include "kel_test_env.h"

namespace {

class DirsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"KELSVC_BASE_DIR", "KELSVC_WRITE_DIR", "SSL_SHARE_BASE_DIR", "KELSVC_WBEM_DIR"})
      unsetenv(v);
  }
};

TEST_F(DirsTest, DefaultsLiveUnderOpt) {
  char buf[kKelPathMax];
  EXPECT_STREQ(GetBaseDir(buf, sizeof buf), "/opt/qx/qxkel");
  EXPECT_STREQ(GetWriteDir(buf, sizeof buf), "/opt/qx/qxkel");
  EXPECT_STREQ(GetWbemDir(buf, sizeof buf), "/opt/dornik/wbem");
  EXPECT_STREQ(GetSslShareDir(buf, sizeof buf), "/opt/qx/sslshare");
  EXPECT_STREQ(GetCertsDir(buf, sizeof buf), "/opt/qx/qxkel/certs");
}

TEST_F(DirsTest, VariablesAreTakenUnchangedAndBounded) {
  setenv("KELSVC_BASE_DIR", "D:/x", 1);
  setenv("SSL_SHARE_BASE_DIR", "/srv/ssl/", 1);
  char buf[kKelPathMax];
  EXPECT_STREQ(GetBaseDir(buf, sizeof buf), "D:/x");
  EXPECT_STREQ(GetCertsDir(buf, sizeof buf), "D:/x/certs");
  EXPECT_STREQ(GetSslShareDir(buf, sizeof buf), "/srv/ssl/");
  char small[4];
  EXPECT_STREQ(GetBaseDir(small, sizeof small), "D:/");
  unsetenv("KELSVC_BASE_DIR");
  unsetenv("SSL_SHARE_BASE_DIR");
}

TEST_F(DirsTest, SharedFilesHaveOneHomeEach) {
  setenv("KELSVC_BASE_DIR", "/srv/base", 1);
  setenv("KELSVC_WRITE_DIR", "/srv/write", 1);
  const std::pair<KelShared, const char*> homes[] = {
      {KelShared::kSettingsFile, "/srv/write/conf/kelpd.xml"},
      {KelShared::kDebugSwitches, "/srv/write/conf/debug.ini"},
      {KelShared::kDiagnosticLog, "/srv/write/logs/kel.log"},
      {KelShared::kLegacyMapFile, "/srv/write/conf/vexolist.map"},
      {KelShared::kWebAppDir, "/srv/write/webapp"},
      {KelShared::kRunDir, "/srv/write/run"},
      {KelShared::kCertsDir, "/srv/base/certs"},
  };
  for (const auto& [which, path] : homes) EXPECT_EQ(KelSharedPath(which), path);
  char buf[kKelPathMax];
  EXPECT_EQ(std::string(GetCertsDir(buf, sizeof buf)), KelSharedPath(KelShared::kCertsDir));
}

TEST(SlashesTest, ConvertInPlace) {
  char text[] = "a\\b/c";
  EXPECT_STREQ(ToForwardSlashes(text), "a/b/c");
  EXPECT_STREQ(ToBackSlashes(text), "a\\b\\c");
  EXPECT_EQ(ToForwardSlashes(nullptr), nullptr);
}

struct SplitCase {
  const char* path;
  const char *drive, *dir, *name, *ext;
};

TEST(SplitPathTest, PartsOfPaths) {
  const SplitCase cases[] = {
      {"C:\\a\\b.c.txt", "C:", "\\a\\", "b.c", ".txt"},
      {"\\\\srv\\share\\dir\\f", "\\\\srv\\share", "\\dir\\", "f", ""},
      {"/opt/qx/qxkel/conf/kelpd.xml", "", "/opt/qx/qxkel/conf/", "kelpd", ".xml"},
      {"a\\b/c", "", "a\\", "b/c", ""},  // a backslash wins over a later slash
      {"name", "", "", "name", ""},
  };
  for (const SplitCase& c : cases) {
    char drive[64], dir[64], name[64], ext[64];
    size_t ds = 64, dirs = 64, ns = 64, es = 64;
    EXPECT_EQ(SplitPath(c.path, drive, &ds, dir, &dirs, name, &ns, ext, &es), 1) << c.path;
    EXPECT_STREQ(drive, c.drive) << c.path;
    EXPECT_STREQ(dir, c.dir) << c.path;
    EXPECT_STREQ(name, c.name) << c.path;
    EXPECT_STREQ(ext, c.ext) << c.path;
    EXPECT_EQ(ns, strlen(c.name) + 1) << c.path;
  }
}

TEST(SplitPathTest, PartThatDoesNotFitIsLeftEmpty) {
  char name[3] = "zz", ext[8];
  size_t ns = sizeof name, es = sizeof ext;
  EXPECT_EQ(SplitPath("C:\\a\\b.c.txt", nullptr, nullptr, nullptr, nullptr, name, &ns, ext, &es), 0);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(ns, 4u);
  EXPECT_STREQ(ext, ".txt");
  EXPECT_EQ(SplitPath(nullptr, nullptr, nullptr, nullptr, nullptr, name, &ns, nullptr, nullptr), 0);
}

class MakeParentDirsTest : public kel::test::TempBase {};

TEST_F(MakeParentDirsTest, CreatesOnlyTheFirstMissingLevel) {
  std::filesystem::create_directories(root_ + "/a");
  EXPECT_EQ(MakeParentDirs((root_ + "/a/b/c/file.txt").c_str()), 0);
  EXPECT_TRUE(std::filesystem::is_directory(root_ + "/a/b"));
  EXPECT_FALSE(std::filesystem::exists(root_ + "/a/b/c"));
  EXPECT_EQ(MakeParentDirs((root_ + "/a/file.txt").c_str()), 0);  // nothing missing
}

TEST_F(MakeParentDirsTest, DottedDirectoryInsideThePathIsADirectory) {
  std::filesystem::create_directories(root_ + "/v1.2");
  EXPECT_EQ(MakeParentDirs((root_ + "/v1.2/conf/kelpd.xml").c_str()), 0);
  EXPECT_TRUE(std::filesystem::is_directory(root_ + "/v1.2/conf"));
  EXPECT_FALSE(std::filesystem::exists(root_ + "/conf"));
}

TEST_F(MakeParentDirsTest, FailureToCreateIsOne) {
  kel::test::WriteFile(root_ + "/plain", "x");
  EXPECT_EQ(MakeParentDirs((root_ + "/plain/sub/file.txt").c_str()), 1);
}

}  // namespace
