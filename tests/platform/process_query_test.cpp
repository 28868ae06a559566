#include "platform/process_query.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/account_lookup.h"
#include "platform/console_session.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace orv::platform {
namespace {

using orv::test::ChildProcess;

// A stat line with the given command name, parent, flags and start time.
std::string StatLine(const std::string& name, int parent, unsigned long flags,
                     unsigned long long start) {
  return "1234 (" + name + ") S " + std::to_string(parent) + " 1 1 0 -1 " + std::to_string(flags) +
         " 0 0 0 0 0 0 0 0 20 0 1 0 " + std::to_string(start) +
         " 0 0 18446744073709551615 0 0 0 0 0 0 0 2147483647 0 1 0 0 0 1 0 0\n";
}

TEST(ProcessQueryTest, ParsesStatTextIncludingAwkwardCommandNames) {
  struct Case {
    std::string text;
    OB_STATUSCODE status = kObSuccess;
    std::string name = {};
    std::uint32_t parent = 0;
    std::uint64_t start = 0;
    bool kernel_thread = false;
  };
  const std::vector<Case> cases = {
      {StatLine("sleep", 77, 4194304, 12345), kObSuccess, "sleep", 77, 12345, false},
      {StatLine("kthreadd", 0, 2129984, 25), kObSuccess, "kthreadd", 0, 25, true},
      {StatLine("a) (b c", 5, 0, 9), kObSuccess, "a) (b c", 5, 9, false},
      {StatLine("", 5, 0, 9), kObSuccess, "", 5, 9, false},
      {"1234 (sleep) S 77 1 1", kObBadArgument},
      {"1234 sleep S 77", kObBadArgument},
      {"1234 )sleep( S 77", kObBadArgument},
      {StatLine("x", -1, 0, 9), kObBadArgument},
      {"", kObBadArgument},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ProcStat stat;
    ASSERT_EQ(ParseProcStat(c.text, stat), c.status);
    if (c.status == kObSuccess) {
      EXPECT_EQ(stat.command_name, c.name);
      EXPECT_EQ(stat.parent_pid, c.parent);
      EXPECT_EQ(stat.start_time, c.start);
      EXPECT_EQ(stat.kernel_thread, c.kernel_thread);
    }
  }
}

TEST(ProcessQueryTest, ParsesStatusTextInKernelGroupOrder) {
  ProcCredentials credentials;
  ASSERT_EQ(ParseProcStatus("Name:\tx\nUid:\t1000\t1001\t1000\t1000\nGid:\t100\t27\t100\t100\n"
                            "Groups:\t4 24 27 \n",
                            credentials),
            kObSuccess);
  EXPECT_EQ(credentials.effective_uid, 1001u);
  EXPECT_EQ(credentials.groups, (std::vector<std::uint32_t>{27, 4, 24, 27}));

  ASSERT_EQ(ParseProcStatus("Uid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t0\nGroups:\t\n", credentials),
            kObSuccess);
  EXPECT_EQ(credentials.groups, (std::vector<std::uint32_t>{0}));

  orv::test::LogCapture log;
  for (const char* bad : {"Name:\tx\n", "Uid:\t5\n", "Uid:\t1 x 1 1\n", "Uid:\t1 1 1 1\nGid:\tq\n",
                          "Uid:\t1 1 1 1\nGroups:\t3 -4\n"}) {
    EXPECT_EQ(ParseProcStatus(bad, credentials), kObBadArgument) << bad;
  }
  EXPECT_TRUE(log.Contains("malformed status text"));
}

TEST(ProcessQueryTest, ReadsAChildProcess) {
  orv::test::TempDir dir;
  const std::string jar = (dir.path() / "lib.JAR").string();
  const std::string text = (dir.path() / "notes.txt").string();
  // Opened without close-on-exec so that the sleeping child inherits them.
  const int jar_fd = ::open(jar.c_str(), O_CREAT | O_RDWR, 0600);
  const int text_fd = ::open(text.c_str(), O_CREAT | O_RDWR, 0600);
  ASSERT_GE(jar_fd, 0);
  ASSERT_GE(text_fd, 0);
  const std::string cwd = dir.path().string();
  ChildProcess child("/bin/sleep", {"sleep", "100"}, [&cwd] { (void)::chdir(cwd.c_str()); });
  ::close(jar_fd);
  ::close(text_fd);
  ASSERT_TRUE(child.WaitForExec());
  const auto pid = static_cast<std::uint32_t>(child.pid());

  int os_error = -1;
  ProcStat stat;
  ASSERT_EQ(ReadProcStat(pid, stat, os_error), kObSuccess);
  EXPECT_EQ(stat.command_name, "sleep");
  EXPECT_EQ(stat.parent_pid, static_cast<std::uint32_t>(::getpid()));
  EXPECT_GT(stat.start_time, 0u);
  EXPECT_FALSE(stat.kernel_thread);

  std::string path;
  ASSERT_EQ(ReadProcExePath(pid, path, os_error), kObSuccess);
  EXPECT_EQ(path, std::filesystem::canonical("/bin/sleep").string());
  ASSERT_EQ(ReadProcWorkingDirectory(pid, path, os_error), kObSuccess);
  EXPECT_EQ(path, std::filesystem::canonical(cwd).string());

  std::vector<std::string> argv;
  ASSERT_EQ(ReadProcCommandLine(pid, argv, os_error), kObSuccess);
  EXPECT_EQ(argv, (std::vector<std::string>{"sleep", "100"}));

  std::vector<std::string> files;
  ASSERT_EQ(ReadProcMappedFiles(pid, files, os_error), kObSuccess);
  EXPECT_NE(
      std::find(files.begin(), files.end(), std::filesystem::canonical("/bin/sleep").string()),
      files.end());
  ASSERT_EQ(ReadProcOpenFiles(pid, ".jar", files, os_error), kObSuccess);
  EXPECT_EQ(files, std::vector<std::string>{std::filesystem::canonical(jar).string()});

  ProcCredentials credentials;
  ASSERT_EQ(ReadProcCredentials(pid, credentials, os_error), kObSuccess);
  EXPECT_EQ(credentials.effective_uid, ::geteuid());
  ASSERT_FALSE(credentials.groups.empty());
  EXPECT_EQ(credentials.groups.front(), ::getegid());
}

TEST(ProcessQueryTest, ExitedProcessIsNotFound) {
  ChildProcess child("/bin/sleep", {"sleep", "100"});
  ASSERT_TRUE(child.WaitForExec());
  const auto pid = static_cast<std::uint32_t>(child.pid());
  child.KillAndReap();

  int os_error = 0;
  ProcStat stat;
  std::string text;
  std::vector<std::string> list;
  ProcCredentials credentials;
  EXPECT_EQ(ReadProcStat(pid, stat, os_error), kObNotFound);
  EXPECT_EQ(os_error, ENOENT);
  EXPECT_EQ(ReadProcExePath(pid, text, os_error), kObNotFound);
  EXPECT_EQ(ReadProcWorkingDirectory(pid, text, os_error), kObNotFound);
  EXPECT_EQ(ReadProcCommandLine(pid, list, os_error), kObNotFound);
  EXPECT_EQ(ReadProcMappedFiles(pid, list, os_error), kObNotFound);
  EXPECT_EQ(ReadProcOpenFiles(pid, ".jar", list, os_error), kObNotFound);
  EXPECT_EQ(ReadProcCredentials(pid, credentials, os_error), kObNotFound);
}

TEST(ProcessQueryTest, KernelThreadHasNoImage) {
  ProcStat stat;
  int os_error = 0;
  if (ReadProcStat(2, stat, os_error) != kObSuccess || !stat.kernel_thread) {
    GTEST_SKIP() << "kthreadd is not visible in this pid namespace";
  }
  std::string path;
  EXPECT_EQ(ReadProcExePath(2, path, os_error), kObNotFound);
  std::vector<std::string> argv{"stale"};
  ASSERT_EQ(ReadProcCommandLine(2, argv, os_error), kObSuccess);
  EXPECT_TRUE(argv.empty());
}

TEST(AccountLookupTest, LooksUpNamesGroupsAndSettings) {
  std::string name;
  int os_error = 0;
  ASSERT_EQ(LookupUserName(0, name, os_error), kObSuccess);
  EXPECT_EQ(name, "root");
  ASSERT_EQ(LookupGroupName(0, name, os_error), kObSuccess);
  EXPECT_EQ(name, "root");
  EXPECT_EQ(LookupUserName(4000000000u, name, os_error), kObNotFound);
  EXPECT_EQ(LookupGroupName(4000000000u, name, os_error), kObNotFound);

  std::vector<std::uint32_t> groups;
  ASSERT_EQ(LookupUserGroups(0, groups, os_error), kObSuccess);
  ASSERT_FALSE(groups.empty());
  EXPECT_EQ(groups.front(), 0u);
  EXPECT_EQ(std::count(groups.begin(), groups.end(), 0u), 1);
  EXPECT_EQ(LookupUserGroups(4000000000u, groups, os_error), kObNotFound);

  EXPECT_EQ(ParseUidMin("# c\nUID_MIN\t\t 500\nUID_MAX 60000\n"), 500u);
  EXPECT_EQ(ParseUidMin("#UID_MIN 500\n"), 1000u);
  EXPECT_EQ(ParseUidMin("UID_MIN x500\n"), 1000u);
  EXPECT_EQ(ParseUidMin(""), 1000u);
  EXPECT_FALSE(ShortHostName().empty());
  EXPECT_EQ(ShortHostName().find('.'), std::string::npos);
}

TEST(ConsoleSessionTest, AnswersWithoutLogindOrWithAUser) {
  std::uint32_t uid = 0;
  int os_error = 0;
  const OB_STATUSCODE status = GetConsoleUser(uid, os_error);
  EXPECT_TRUE(status == kObSuccess || status == kObNotFound) << status << " errno " << os_error;
}

}  // namespace
}  // namespace orv::platform
