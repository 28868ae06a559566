// Processes, accounts, private files and the named shared objects of this host.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/account_lookup.h"
#include "platform/console_session.h"
#include "platform/data_protection.h"
#include "platform/named_sync.h"
#include "platform/private_directory.h"
#include "platform/process_query.h"
#include "platform/shared_memory_block.h"
#include "runtime/unique_fd.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace OBPlatform {
namespace {

using namespace orv::platform;
using namespace std::chrono_literals;
using OBRuntime::UniqueFd;
using ::testing::Each;

TEST(HostTest, ParsesAndReadsProcessesUntilGoneAndLooksUpTheirAccounts) {
  ProcStat stat;
  // Fields up to the start time (22); 4194304 and 2129984 differ in the kernel thread flag.
  for (const auto& [text, name, parent, start, kernel_thread] :
       {std::tuple{"1 (sleep) S 77 0 0 0 0 4194304 0 0 0 0 0 0 0 0 0 0 0 0 12345", "sleep", 77u,
                   12345u, false},
        {"2 (kthreadd) S 0 0 0 0 0 2129984 0 0 0 0 0 0 0 0 0 0 0 0 25", "kthreadd", 0u, 25u, true},
        {"3 (a) (b c) S 5 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 9", "a) (b c", 5u, 9u, false}}) {
    ASSERT_EQ(ParseProcStat(text, stat), kObSuccess) << text;
    EXPECT_EQ(std::tie(stat.command_name, stat.parent_pid, stat.start_time, stat.kernel_thread),
              std::tuple(name, parent, start, kernel_thread));
  }
  for (const char* bad : {"1234 (sleep) S 77 1 1", "1234 sleep S 77", "1234 )sleep( S 77",
                          "1 (x) S -1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 9"}) {
    EXPECT_EQ(ParseProcStat(bad, stat), kObBadArgument) << bad;
  }

  ProcCredentials credentials;
  ASSERT_EQ(ParseProcStatus("Name:\tx\nUid:\t1000\t1001\t1000\t1000\nGid:\t100\t27\t100\t100\n"
                            "Groups:\t4 24 27 \n",
                            credentials),
            kObSuccess);
  EXPECT_EQ(std::tie(credentials.effective_uid, credentials.groups),
            std::tuple(1001u, std::vector<std::uint32_t>{27, 4, 24, 27}));
  ASSERT_EQ(ParseProcStatus("Uid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t0\nGroups:\t\n", credentials),
            kObSuccess);
  EXPECT_EQ(credentials.groups, (std::vector<std::uint32_t>{0}));
  for (const char* bad : {"Name:\tx\n", "Uid:\t5\n", "Uid:\t1 x 1 1\n", "Uid:\t1 1 1 1\nGid:\tq\n",
                          "Uid:\t1 1 1 1\nGroups:\t3 -4\n"}) {
    EXPECT_EQ(ParseProcStatus(bad, credentials), kObBadArgument) << bad;
  }

  orv::test::TempDir dir;
  const std::string jar = (dir.path() / "lib.JAR").string();
  // Opened without close-on-exec so that the sleeping child inherits them.
  const UniqueFd jar_fd(::open(jar.c_str(), O_CREAT | O_RDWR, 0600));
  const UniqueFd text_fd(::open((dir.path() / "notes.txt").c_str(), O_CREAT | O_RDWR, 0600));
  orv::test::ChildProcess child("/bin/sleep", {"sleep", "100"},
                                [&dir] { (void)::chdir(dir.path().c_str()); });
  ASSERT_TRUE(child.WaitForExec());
  const auto pid = static_cast<std::uint32_t>(child.pid());

  int os_error = -1;
  std::string exe, working_directory;
  std::vector<std::string> command_line, mapped, jars;
  const auto read_all = [&] {
    return std::vector{ReadProcStat(pid, stat, os_error),
                       ReadProcExePath(pid, exe, os_error),
                       ReadProcWorkingDirectory(pid, working_directory, os_error),
                       ReadProcCommandLine(pid, command_line, os_error),
                       ReadProcMappedFiles(pid, mapped, os_error),
                       ReadProcOpenFiles(pid, ".jar", jars, os_error),
                       ReadProcCredentials(pid, credentials, os_error)};
  };
  ASSERT_THAT(read_all(), Each(kObSuccess));
  const std::string image = std::filesystem::canonical("/bin/sleep").string();
  EXPECT_EQ(std::tie(stat.command_name, stat.parent_pid, exe, working_directory),
            std::tuple("sleep", static_cast<std::uint32_t>(::getpid()), image,
                       std::filesystem::canonical(dir.path()).string()));
  EXPECT_EQ(command_line, (std::vector<std::string>{"sleep", "100"}));
  EXPECT_THAT(mapped, ::testing::Contains(image));
  EXPECT_EQ(jars, std::vector{std::filesystem::canonical(jar).string()});
  EXPECT_EQ(credentials.effective_uid, ::geteuid());

  child.KillAndReap();
  EXPECT_THAT(read_all(), Each(kObNotFound));
  EXPECT_EQ(os_error, ENOENT);

  // The accounts behind processes, and the host's settings for them.
  std::string user, group;
  std::vector<std::uint32_t> groups;
  const auto look_up = [&](std::uint32_t id) {
    return std::vector{LookupUserName(id, user, os_error), LookupGroupName(id, group, os_error),
                       LookupUserGroups(id, groups, os_error)};
  };
  ASSERT_THAT(look_up(0), Each(kObSuccess));
  EXPECT_EQ(user + "/" + group, "root/root");
  EXPECT_EQ(groups.front(), 0u);
  EXPECT_EQ(std::count(groups.begin(), groups.end(), 0u), 1);
  EXPECT_THAT(look_up(4000000000u), Each(kObNotFound));

  EXPECT_EQ(ParseUidMin("# c\nUID_MIN\t\t 500\nUID_MAX 60000\n"), 500u);
  for (const char* text : {"#UID_MIN 500\n", "UID_MIN x500\n", ""}) {
    EXPECT_EQ(ParseUidMin(text), 1000u) << text;
  }
  EXPECT_THAT(ShortHostName(), ::testing::MatchesRegex("[^.]+"));
  std::uint32_t uid = 0;  // no logind here, or a user
  EXPECT_THAT(GetConsoleUser(uid, os_error), ::testing::AnyOf(kObSuccess, kObNotFound));
}

// The owner and permission bits of path; {0, 0} when it cannot be read.
std::pair<uid_t, mode_t> OwnerAndMode(const std::filesystem::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? std::pair(status.st_uid, status.st_mode & 07777)
                                            : std::pair(uid_t{0}, mode_t{0});
}

TEST(PrivateFilesTest, ModesHoldUnderUmask077BlobsOpenOnlyIntactAndAMalformedSecretIsKept) {
  orv::test::TempDir temp;
  const auto& root = temp.path();
  std::ofstream(root / "machine-id") << "00112233445566778899aabbccddeeff\n";
  const std::vector<std::uint8_t> value{7};
  std::vector<std::uint8_t> blob;
  const mode_t previous = ::umask(077);
  const int error = CreatePrivateDirectory((root / "a/b").string());
  const CDataProtection protection(root / "x/dp", root / "machine-id", 1000);
  const OB_STATUSCODE sealed = protection.Protect(value, blob);
  ::umask(previous);
  ASSERT_EQ(std::pair(error, sealed), std::pair(0, kObSuccess));
  std::vector<mode_t> modes;
  for (const char* path : {"a", "a/b", "x", "x/dp", "x/dp/1000.key"}) {
    modes.push_back(OwnerAndMode(root / path).second);
  }
  EXPECT_EQ(modes, (std::vector<mode_t>{0755, 0700, 0755, 0700, 0600}));

  std::ofstream(root / "x/dp/1001.key", std::ios::trunc) << "too short";
  // The blob opens only as it was sealed.
  std::vector<std::uint8_t> opened;
  ASSERT_EQ(protection.Unprotect(blob, opened), kObSuccess);
  EXPECT_EQ(opened, value);
  blob.back() ^= 1;
  EXPECT_EQ(protection.Unprotect(blob, opened), kObBadArgument);

  const CDataProtection other(root / "x/dp", root / "machine-id", 1001);
  EXPECT_EQ(other.Protect(value, blob), kObFailure);
  // The malformed secret is kept as it was ("too short").
  EXPECT_EQ(std::filesystem::file_size(root / "x/dp/1001.key"), 9u);
}

// Names no other process uses (tests of one process run one after another), removed afterwards.
class SharedObjectTest : public ::testing::Test {
 protected:
  ~SharedObjectTest() override {
    for (const std::string& name : names_) {
      ::shm_unlink(name.c_str());
    }
  }

  const std::string pid_ = std::to_string(::getpid());
  const std::string names_[3] = {"/block." + pid_, "/mutex." + pid_, "/event." + pid_};
  const std::string& block_name_ = names_[0];
  const std::string& mutex_name_ = names_[1];
  const std::string& event_name_ = names_[2];
};

TEST_F(SharedObjectTest, MutexExcludesIsRecoveredFromADeadOwnerAndForeignObjectsAreRefused) {
  NamedMutex mine;
  NamedMutex theirs;
  ASSERT_EQ(mine.Open(mutex_name_), 0);
  ASSERT_EQ(theirs.Open(mutex_name_), 0);
  int error = 0;
  ASSERT_EQ(mine.Lock(1000ms, error), NamedLockResult::kOwned);
  EXPECT_EQ(mine.Lock(10ms, error), NamedLockResult::kFailed);
  EXPECT_EQ(error, EDEADLK);
  std::thread([&] {
    EXPECT_EQ(theirs.Lock(20ms, error), NamedLockResult::kTimedOut);
#if !defined(__SANITIZE_THREAD__)       // which reports the deliberate misuse
    EXPECT_EQ(theirs.Unlock(), EPERM);  // not the owner
#endif
  }).join();
  EXPECT_EQ(mine.Unlock(), 0);
  NamedMutex closed;
  EXPECT_EQ(closed.Lock(10ms, error), NamedLockResult::kFailed);
  EXPECT_EQ(error, EBADF);

  // A child takes the lock and dies without releasing it, its mapping still in place.
  ASSERT_EQ(orv::test::RunInChild(
                [&] { return mine.Lock(1000ms, error) == NamedLockResult::kOwned ? 0 : 1; }),
            0);
  EXPECT_EQ(theirs.Lock(1000ms, error), NamedLockResult::kRecovered);
  EXPECT_EQ(theirs.Unlock(), 0);
  EXPECT_EQ(theirs.Lock(1000ms, error), NamedLockResult::kOwned);
  EXPECT_EQ(theirs.Unlock(), 0);

  // Something else's object under a name, of another size.
  ASSERT_EQ(::ftruncate(UniqueFd(::shm_open(block_name_.c_str(), O_RDWR | O_CREAT, 0600)).get(), 3),
            0);
  EXPECT_EQ(closed.Open(block_name_), EPROTO);
  EXPECT_FALSE(closed.is_open());
  // A holder of a long-lived file lock on the name makes the open fail, not hang.
  SharedMemoryBlock foreign;
  ASSERT_EQ(foreign.Open(event_name_, 4096, {}), 0);
  NamedEvent event;
  EXPECT_EQ(event.Open(event_name_), ETIMEDOUT);
}

TEST_F(SharedObjectTest, EventIsManualResetAndAPulseWakesAWaiterInAnotherProcess) {
  using enum NamedWaitResult;
  NamedEvent event;
  ASSERT_EQ(event.Open(event_name_), 0);
  int error = 0;
  EXPECT_EQ(event.Wait(20ms, error), kTimedOut);
  ASSERT_EQ(event.Set(), 0);
  EXPECT_EQ(event.Wait(0ms, error), kSignalled);
  EXPECT_EQ(event.Wait(0ms, error), kSignalled);  // stays set
  ASSERT_EQ(event.Reset(), 0);
  EXPECT_EQ(event.Wait(0ms, error), kTimedOut);
  NamedEvent closed;
  EXPECT_EQ(closed.Wait(0ms, error), kFailed);
  EXPECT_EQ(closed.Set(), EBADF);

  const pid_t pid = ::fork();
  if (pid == 0) {
    NamedEvent child_event;  // a second opener sees the same, already initialised event
    ::_exit(child_event.Open(event_name_) == 0 && child_event.Wait(10s, error) == kSignalled ? 0
                                                                                             : 1);
  }
  // The waiter may not be waiting yet: pulse until it has seen one. Each pulse leaves the event
  // reset, so only the generation counter can have woken it.
  int status = 0;
  EXPECT_TRUE(orv::test::WaitUntil([&] {
    EXPECT_EQ(event.Set(), 0);
    std::this_thread::sleep_for(1ms);
    EXPECT_EQ(event.Reset(), 0);
    return ::waitpid(pid, &status, WNOHANG) != 0;
  }));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST_F(SharedObjectTest, CreatorZeroFillsLastDetacherRemovesAndPlantedObjectsAreReplaced) {
  // What a crashed user leaves: a small object with data and nobody attached.
  ASSERT_EQ(::write(UniqueFd(::shm_open(block_name_.c_str(), O_RDWR | O_CREAT, 0600)).get(),
                    "leftover", 8),
            8);
  SharedMemoryBlock first;
  ASSERT_EQ(first.Open(block_name_, 4096, {mutex_name_}), 0);
  ASSERT_EQ(first.Map(), 0);
  EXPECT_TRUE(first.created());
  EXPECT_EQ(std::string(static_cast<char*>(first.data()), 8), std::string(8, '\0'));
  NamedMutex lock;
  ASSERT_EQ(lock.Open(mutex_name_), 0);
  const std::string shm = "/dev/shm" + block_name_;
  EXPECT_EQ(OwnerAndMode(shm).second, 0600u);

  // A second user asking for more grows the block; both see the same bytes.
  SharedMemoryBlock second;
  ASSERT_EQ(second.Open(block_name_, 3 * 4096, {mutex_name_}), 0);
  ASSERT_EQ(second.Map(), 0);
  EXPECT_FALSE(second.created());
  static_cast<char*>(second.data())[3 * 4096 - 1] = 7;
  static_cast<char*>(first.data())[100] = 42;
  EXPECT_EQ(static_cast<char*>(second.data())[100], 42);

  first.Close();
  EXPECT_TRUE(std::filesystem::exists(shm) && std::filesystem::exists("/dev/shm" + mutex_name_));
  second.Close();
  EXPECT_FALSE(std::filesystem::exists(shm) || std::filesystem::exists("/dev/shm" + mutex_name_));
  SharedMemoryBlock bad;
  EXPECT_EQ(bad.Open(block_name_, 0, {}), EINVAL);
  EXPECT_NE(bad.Open("/no/slashes/inside", 4096, {}), 0);
  EXPECT_EQ(bad.Map(), EBADF);

  // Objects another account planted are replaced, and that account is locked out.
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to act as another account";
  }
  // Runs step over every name as uid 65534 (nobody) in a child; 0 when it held for all.
  const auto as_nobody = [&](bool (*step)(const std::string&)) {
    return orv::test::RunInChildAsNobody([&] {
      ::umask(0);
      return std::ranges::all_of(names_, step) ? 0 : 1;
    });
  };
  ASSERT_EQ(as_nobody([](const std::string& name) {
              const UniqueFd fd(::shm_open(name.c_str(), O_RDWR | O_CREAT, 0666));
              return fd.valid() && ::ftruncate(fd.get(), 3) == 0;
            }),
            0);
  SharedMemoryBlock block;
  ASSERT_EQ(block.Open(block_name_, 4096, {mutex_name_, event_name_}), 0);
  ASSERT_EQ(block.Map(), 0);
  NamedMutex mutex;
  ASSERT_EQ(mutex.Open(mutex_name_), 0);
  NamedEvent event;
  ASSERT_EQ(event.Open(event_name_), 0);
  for (const std::string& name : names_) {
    EXPECT_EQ(OwnerAndMode("/dev/shm" + name), std::pair(uid_t{0}, mode_t{0600})) << name;
  }
  // The planter can neither open, truncate nor remove what is there now.
  EXPECT_EQ(as_nobody([](const std::string& name) {
              return ::shm_open(name.c_str(), O_RDWR, 0) < 0 && errno == EACCES &&
                     ::truncate(("/dev/shm" + name).c_str(), 0) != 0 &&
                     ::shm_unlink(name.c_str()) != 0;
            }),
            0);
  static_cast<char*>(block.data())[4095] = 1;  // mapped in full: no SIGBUS
}

}  // namespace
}  // namespace OBPlatform
