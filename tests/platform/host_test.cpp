// Processes, accounts and private files of this host.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "platform/account_lookup.h"
#include "platform/console_session.h"
#include "platform/data_protection.h"
#include "platform/private_directory.h"
#include "platform/process_query.h"
#include "support/child_process.h"
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

TEST(ProcessQueryTest, ParsesStatAndStatusText) {
  ProcStat stat;
  for (const auto& [text, name, parent, start, kernel_thread] :
       {std::tuple{StatLine("sleep", 77, 4194304, 12345), "sleep", 77u, 12345u, false},
        {StatLine("kthreadd", 0, 2129984, 25), "kthreadd", 0u, 25u, true},
        {StatLine("a) (b c", 5, 0, 9), "a) (b c", 5u, 9u, false}}) {
    ASSERT_EQ(ParseProcStat(text, stat), kObSuccess) << text;
    EXPECT_EQ(stat.command_name, name);
    EXPECT_EQ(stat.parent_pid, parent);
    EXPECT_EQ(stat.start_time, start);
    EXPECT_EQ(stat.kernel_thread, kernel_thread);
  }
  for (const std::string& bad :
       std::vector<std::string>{"1234 (sleep) S 77 1 1", "1234 sleep S 77", "1234 )sleep( S 77", "",
                                StatLine("x", -1, 0, 9)}) {
    EXPECT_EQ(ParseProcStat(bad, stat), kObBadArgument) << bad;
  }

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
  for (const char* bad : {"Name:\tx\n", "Uid:\t5\n", "Uid:\t1 x 1 1\n", "Uid:\t1 1 1 1\nGid:\tq\n",
                          "Uid:\t1 1 1 1\nGroups:\t3 -4\n"}) {
    EXPECT_EQ(ParseProcStatus(bad, credentials), kObBadArgument) << bad;
  }
}

TEST(ProcessQueryTest, ReadsAChildProcessAndNothingOnceItIsGone) {
  orv::test::TempDir dir;
  const std::string jar = (dir.path() / "lib.JAR").string();
  // Opened without close-on-exec so that the sleeping child inherits them.
  const int jar_fd = ::open(jar.c_str(), O_CREAT | O_RDWR, 0600);
  const int text_fd = ::open((dir.path() / "notes.txt").c_str(), O_CREAT | O_RDWR, 0600);
  const std::string cwd = dir.path().string();
  ChildProcess child("/bin/sleep", {"sleep", "100"}, [&cwd] { (void)::chdir(cwd.c_str()); });
  ::close(jar_fd);
  ::close(text_fd);
  ASSERT_TRUE(child.WaitForExec());
  const auto pid = static_cast<std::uint32_t>(child.pid());
  const std::string image = std::filesystem::canonical("/bin/sleep").string();

  int os_error = -1;
  ProcStat stat;
  ASSERT_EQ(ReadProcStat(pid, stat, os_error), kObSuccess);
  EXPECT_EQ(stat.command_name, "sleep");
  EXPECT_EQ(stat.parent_pid, static_cast<std::uint32_t>(::getpid()));
  EXPECT_GT(stat.start_time, 0u);
  std::string path;
  ASSERT_EQ(ReadProcExePath(pid, path, os_error), kObSuccess);
  EXPECT_EQ(path, image);
  ASSERT_EQ(ReadProcWorkingDirectory(pid, path, os_error), kObSuccess);
  EXPECT_EQ(path, std::filesystem::canonical(cwd).string());
  std::vector<std::string> list;
  ASSERT_EQ(ReadProcCommandLine(pid, list, os_error), kObSuccess);
  EXPECT_EQ(list, (std::vector<std::string>{"sleep", "100"}));
  ASSERT_EQ(ReadProcMappedFiles(pid, list, os_error), kObSuccess);
  EXPECT_NE(std::find(list.begin(), list.end(), image), list.end());
  ASSERT_EQ(ReadProcOpenFiles(pid, ".jar", list, os_error), kObSuccess);
  EXPECT_EQ(list, std::vector<std::string>{std::filesystem::canonical(jar).string()});
  ProcCredentials credentials;
  ASSERT_EQ(ReadProcCredentials(pid, credentials, os_error), kObSuccess);
  EXPECT_EQ(credentials.effective_uid, ::geteuid());
  ASSERT_FALSE(credentials.groups.empty());
  EXPECT_EQ(credentials.groups.front(), ::getegid());

  child.KillAndReap();
  EXPECT_EQ(ReadProcStat(pid, stat, os_error), kObNotFound);
  EXPECT_EQ(os_error, ENOENT);
  EXPECT_EQ(ReadProcExePath(pid, path, os_error), kObNotFound);
  EXPECT_EQ(ReadProcWorkingDirectory(pid, path, os_error), kObNotFound);
  EXPECT_EQ(ReadProcCommandLine(pid, list, os_error), kObNotFound);
  EXPECT_EQ(ReadProcMappedFiles(pid, list, os_error), kObNotFound);
  EXPECT_EQ(ReadProcOpenFiles(pid, ".jar", list, os_error), kObNotFound);
  EXPECT_EQ(ReadProcCredentials(pid, credentials, os_error), kObNotFound);
}

TEST(AccountLookupTest, LooksUpNamesGroupsAndSettings) {
  std::string name;
  int os_error = 0;
  ASSERT_EQ(LookupUserName(0, name, os_error), kObSuccess);
  EXPECT_EQ(name, "root");
  ASSERT_EQ(LookupGroupName(0, name, os_error), kObSuccess);
  EXPECT_EQ(name, "root");
  std::vector<std::uint32_t> groups;
  ASSERT_EQ(LookupUserGroups(0, groups, os_error), kObSuccess);
  EXPECT_EQ(groups.front(), 0u);
  EXPECT_EQ(std::count(groups.begin(), groups.end(), 0u), 1);
  EXPECT_EQ(LookupUserName(4000000000u, name, os_error), kObNotFound);
  EXPECT_EQ(LookupGroupName(4000000000u, name, os_error), kObNotFound);
  EXPECT_EQ(LookupUserGroups(4000000000u, groups, os_error), kObNotFound);

  EXPECT_EQ(ParseUidMin("# c\nUID_MIN\t\t 500\nUID_MAX 60000\n"), 500u);
  for (const char* text : {"#UID_MIN 500\n", "UID_MIN x500\n", ""}) {
    EXPECT_EQ(ParseUidMin(text), 1000u) << text;
  }
  EXPECT_FALSE(ShortHostName().empty());
  EXPECT_EQ(ShortHostName().find('.'), std::string::npos);
  std::uint32_t uid = 0;
  const OB_STATUSCODE status = GetConsoleUser(uid, os_error);  // no logind here, or a user
  EXPECT_TRUE(status == kObSuccess || status == kObNotFound) << status << " errno " << os_error;
}

mode_t ModeOf(const std::filesystem::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

TEST(PrivateFilesTest, ModesHoldUnderUmask077BlobsOpenOnlyIntactAndAMalformedSecretIsKept) {
  orv::test::TempDir temp;
  const auto& root = temp.path();
  std::ofstream(root / "machine-id") << "00112233445566778899aabbccddeeff\n";
  const std::array<std::uint8_t, 1> value{7};
  std::vector<std::uint8_t> blob;
  const mode_t previous = ::umask(077);
  const int error = ::OBPlatform::CreatePrivateDirectory((root / "a/b").string());
  const ::OBPlatform::CDataProtection protection(root / "x/dp", root / "machine-id", 1000);
  const OB_STATUSCODE sealed = protection.Protect(value, blob);
  ::umask(previous);
  ASSERT_EQ(error, 0);
  ASSERT_EQ(sealed, kObSuccess);
  for (const auto& [path, mode] : {std::pair{"a", 0755U},
                                   {"a/b", 0700U},
                                   {"x", 0755U},
                                   {"x/dp", 0700U},
                                   {"x/dp/1000.key", 0600U}}) {
    EXPECT_EQ(ModeOf(root / path), mode) << path;
  }

  std::ofstream(root / "x/dp/1001.key", std::ios::trunc) << "too short";
  // The blob opens only as it was sealed.
  std::vector<std::uint8_t> opened;
  ASSERT_EQ(protection.Unprotect(blob, opened), kObSuccess);
  EXPECT_EQ(opened, std::vector<std::uint8_t>(value.begin(), value.end()));
  blob.back() ^= 1;
  EXPECT_EQ(protection.Unprotect(blob, opened), kObBadArgument);

  const ::OBPlatform::CDataProtection other(root / "x/dp", root / "machine-id", 1001);
  EXPECT_EQ(other.Protect(value, blob), kObFailure);
  std::ifstream in(root / "x/dp/1001.key");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "too short");
}

}  // namespace
}  // namespace orv::platform
