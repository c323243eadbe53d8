#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "kel_fd.h"
#include "kel_files.h"
#include "kel_test_env.h"

namespace {

using kel::test::ReadFile;
using kel::test::WriteFile;

class FilesTest : public kel::test::TempBase {
 protected:
  mode_t Mode(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
};

TEST_F(FilesTest, ReadOnlyIsClearedAndPutBack) {
  std::string f = Path("conf/ro.txt");
  WriteFile(f, "x");
  chmod(f.c_str(), 0444);
  unsigned old = ClearFileProtection(f.c_str());
  EXPECT_NE(old, 0u);
  EXPECT_EQ(Mode(f), 0644u);
  RestoreFileProtection(f.c_str(), old);
  EXPECT_EQ(Mode(f), 0444u);

  chmod(f.c_str(), 0640);
  EXPECT_EQ(ClearFileProtection(f.c_str()), 0u);  // already writable
  EXPECT_EQ(ClearFileProtection(Path("conf/missing").c_str()), 0u);
}

TEST_F(FilesTest, OpenUnprotectedKeepsTheMode) {
  std::string f = Path("conf/ro.txt");
  WriteFile(f, "old");
  chmod(f.c_str(), 0400);
  FILE* out = OpenFileUnprotected(f.c_str(), "w");
  ASSERT_NE(out, nullptr);
  fputs("new", out);
  fclose(out);
  EXPECT_EQ(ReadFile(f), "new");
  EXPECT_EQ(Mode(f), 0400u);
  EXPECT_EQ(OpenFileUnprotected(Path("nodir/x").c_str(), "r"), nullptr);
}

TEST_F(FilesTest, FindMatchesThePatternWithoutRegardToCase) {
  for (const char* n : {"a.xml", "B.XML", "c.txt", "d.xml.tmp"}) WriteFile(Path(std::string("webapp/") + n), "x");
  std::set<std::string> seen;
  KelFindData e;
  intptr_t h = FindFileFirst(Path("webapp/*.xml").c_str(), &e);
  ASSERT_NE(h, -1);
  do seen.insert(e.name);
  while (FindFileNext(h, &e) == 0);
  EXPECT_EQ(FindFileClose(h), 0);
  EXPECT_EQ(seen, (std::set<std::string>{"a.xml", "B.XML"}));
  EXPECT_EQ(FindFileFirst(Path("webapp/*.ini").c_str(), &e), -1);
  EXPECT_EQ(FindFileFirst(Path("none/*").c_str(), &e), -1);
}

TEST_F(FilesTest, AtomicWriteKeepsModeAndLeavesNoTemporary) {
  std::string f = Path("conf/kelpd.xml");
  WriteFile(f, "old");
  chmod(f.c_str(), 0604);
  ASSERT_EQ(AtomicWriteFile(f.c_str(), "new", 3), 0);
  EXPECT_EQ(ReadFile(f), "new");
  EXPECT_EQ(Mode(f), 0604u);
  ASSERT_EQ(AtomicWriteFile(Path("conf/fresh").c_str(), "", 0, 0640), 0);
  EXPECT_EQ(Mode(Path("conf/fresh")), 0640u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Path("conf")), {}), 2);
  EXPECT_EQ(AtomicWriteFile(Path("nodir/x").c_str(), "x", 1), -1);
}

TEST_F(FilesTest, StagedNamesTellTheWritersTemporariesFromOtherFiles) {
  struct {
    const char* name;
    bool staged;
    pid_t writer;
  } cases[] = {
      {"kelpd.xml.staged4242.Ab12Cd", true, 4242},
      {"tempZQCert.pem.staged7.000000", true, 7},
      {"kelpd.xml.staged4242.Ab12C", false, 0},     // five characters
      {"kelpd.xml.staged4242.Ab-2Cd", false, 0},    // not mkstemp's
      {"kelpd.xml.stagedx.Ab12Cd", false, 0},       // no process id
      {"kelpd.xml.Ab12Cd", false, 0},               // a name of its own
      {".staged12.Ab12Cd", false, 0},               // no file before it
      {"notes.backup", false, 0},
      {"kelpd.xml", false, 0},
  };
  for (const auto& c : cases) {
    pid_t writer = 0;
    EXPECT_EQ(IsStagedFileName(c.name, &writer), c.staged) << c.name;
    if (c.staged) {
      EXPECT_EQ(writer, c.writer) << c.name;
    }
  }
  // The writer's own temporaries carry its process id.
  std::string staged;
  ASSERT_EQ(StageFile(Path("conf/kelpd.xml").c_str(), "x", 1, 0600, false, &staged), 0);
  pid_t writer = 0;
  EXPECT_TRUE(IsStagedFileName(staged.substr(staged.rfind('/') + 1).c_str(), &writer));
  EXPECT_EQ(writer, getpid());
}

// A process that ended (reaped or not) left its temporary behind; one that
// runs is in the middle of its write.
TEST_F(FilesTest, OrphanedTemporariesGoTheRunningWritersStay) {
  pid_t reaped = fork();
  if (reaped == 0) _exit(0);
  waitpid(reaped, nullptr, 0);
  pid_t zombie = fork();
  if (zombie == 0) _exit(0);
  // Until its end shows, it is not yet a zombie.
  for (int i = 0; i < 500 && ReadFile("/proc/" + std::to_string(zombie) + "/stat").find(") Z ") == std::string::npos;
       ++i)
    usleep(2000);
  auto name = [](const char* file, pid_t pid) {
    return std::string(file) + ".staged" + std::to_string(pid) + ".Ab12Cd";
  };
  const std::string dead = name("kelpd.xml", reaped), undead = name("vexolist.map", zombie),
                    mine = name("kelpd.xml", getpid()), init = name("cert.pem", 1);
  for (const std::string& n : {dead, undead, mine, init, std::string("kelpd.xml"), std::string("kelpd.xml.Ab12Cd")})
    WriteFile(Path("conf/" + n), "x");
  std::vector<std::string> removed;
  EXPECT_EQ(RemoveOrphanedStagedFiles(Path("conf").c_str(), [&](const std::string& p) { removed.push_back(p); }), 0);
  waitpid(zombie, nullptr, 0);
  std::sort(removed.begin(), removed.end());
  EXPECT_EQ(removed, (std::vector<std::string>{Path("conf/" + dead), Path("conf/" + undead)}));
  std::set<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(Path("conf"))) left.insert(e.path().filename());
  EXPECT_EQ(left, (std::set<std::string>{mine, init, "kelpd.xml", "kelpd.xml.Ab12Cd"}));
  EXPECT_EQ(RemoveOrphanedStagedFiles(Path("missing").c_str(), nullptr), 0);
}

TEST_F(FilesTest, CopyFileOverReplacesTheTarget) {
  WriteFile(Path("conf/a"), "alpha");
  WriteFile(Path("conf/b"), "beta");
  EXPECT_NE(CopyFileOver(Path("conf/a").c_str(), Path("conf/b").c_str()), 0);
  EXPECT_EQ(ReadFile(Path("conf/b")), "alpha");
  EXPECT_EQ(CopyFileOver(Path("conf/none").c_str(), Path("conf/b").c_str()), 0);
}

TEST_F(FilesTest, ProtectFileLeavesNothingForOthers) {
  std::string f = Path("conf/kelpd.conf");
  WriteFile(f, "x");
  chmod(f.c_str(), 0666);
  chmod(base_.c_str(), 0755);
  EXPECT_EQ(ProtectFile(f.c_str()), 1);
  EXPECT_EQ(Mode(f), 0660u);
  // Not writable by the group: the workers could swap conf/ for their own.
  EXPECT_EQ(Mode(base_), 0750u);
  EXPECT_EQ(ProtectFileMode(f.c_str(), 0640), 1);
  EXPECT_EQ(Mode(f), 0640u);
  if (geteuid() == 0) {
    struct stat st;
    stat(f.c_str(), &st);
    struct group* g = getgrnam("qxkel");
    ASSERT_NE(g, nullptr) << "scripts/setup creates the qxkel account";
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, g->gr_gid);
  }
  EXPECT_EQ(ProtectFile(Path("conf/missing").c_str()), 0);
}

// A link that a worker put where root protects a file is refused, and the
// file it points at keeps its mode.
TEST_F(FilesTest, ProtectionNeverFollowsALink) {
  std::string target = root_ + "/system-file";
  WriteFile(target, "x");
  chmod(target.c_str(), 0600);
  std::string link = Path("conf/kelpd.xml");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(ProtectFile(link.c_str()), 0);
  EXPECT_EQ(ProtectPath(link.c_str(), 0660, KelOwner::kWorkers), 0);
  EXPECT_EQ(Mode(target), 0600u);
  // A rewrite replaces the link itself.
  EXPECT_EQ(WriteProtectedFileAs(link.c_str(), "y", 1, 0640, KelOwner::kRoot), 0);
  EXPECT_EQ(ReadFile(target), "x");
  EXPECT_EQ(ReadFile(link), "y");
  EXPECT_EQ(Mode(link), 0640u);
}

TEST_F(FilesTest, ProtectPathSetsExactModesAndOwners) {
  std::string dir = Path("conf");
  std::string f = Path("conf/kelpd.xml");
  WriteFile(f, "x");
  EXPECT_EQ(ProtectPath(dir.c_str(), 01770, KelOwner::kRoot), 1);
  EXPECT_EQ(Mode(dir), 01770u);
  EXPECT_EQ(ProtectPath(f.c_str(), 0600, KelOwner::kRoot), 1);
  EXPECT_EQ(Mode(f), 0600u);
  if (geteuid() == 0) {
    struct stat st;
    stat(f.c_str(), &st);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);  // no group bits: root's own group
    struct passwd* qxkel = getpwnam("qxkel");
    ASSERT_NE(qxkel, nullptr);
    EXPECT_EQ(ProtectPath(f.c_str(), 0660, KelOwner::kWorkers), 1);
    stat(f.c_str(), &st);
    EXPECT_EQ(st.st_uid, qxkel->pw_uid);
  }
}

TEST(ScopedFdTest, ClosesOnceWhereverItWasMoved) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[1]);
  {
    kel::ScopedFd first(fds[0]);
    kel::ScopedFd second(std::move(first));
    EXPECT_FALSE(first.Valid());
    EXPECT_EQ(second.Get(), fds[0]);
    EXPECT_GE(fcntl(fds[0], F_GETFD), 0);  // still open
  }
  EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);  // closed with its last owner
  kel::ScopedFd released(dup(0));
  int raw = released.Release();
  EXPECT_GE(fcntl(raw, F_GETFD), 0);  // given up, not closed
  close(raw);
}

TEST_F(FilesTest, DirectoriesAreMadeAndRemoved) {
  EXPECT_EQ(MakeDir(Path("d").c_str()), 0);
  EXPECT_EQ(MakeDir(Path("d").c_str()), -1);
  EXPECT_EQ(RemoveDir(Path("d").c_str()), 0);
  EXPECT_EQ(RemoveDir(Path("d").c_str()), -1);
  WriteFile(Path("conf/w"), "x");
  chmod(Path("conf/w").c_str(), 0444);
  EXPECT_EQ(MakeWritable(Path("conf/w").c_str()), 1);
  EXPECT_EQ(Mode(Path("conf/w")), 0600u);
}

}  // namespace
