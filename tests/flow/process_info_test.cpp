#include "flow/process_info.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "flow/account_info.h"
#include "platform/account_lookup.h"
#include "process_fakes.h"
#include "runtime/sha256_hash_manager.h"
#include "runtime/text.h"
#include "runtime/utils.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using OBRuntime::CSha256HashManagerImpl;
using orv::test::ChildProcess;
using orv::test::FakeAccountDirectory;
using orv::test::FakeProcess;
using orv::test::FakeProcessQueries;

using Hash = std::array<std::uint8_t, 32>;

std::wstring PathOf(CProcessInfo& info, OB_STATUSCODE& status, bool parent = false) {
  std::array<wchar_t, CProcessInfo::kPathCapacity> buffer{};
  status = parent ? info.GetParentProcessPath(buffer.data(), buffer.size())
                  : info.GetProcessPath(buffer.data(), buffer.size());
  return status == kObSuccess ? std::wstring(buffer.data()) : std::wstring();
}

Hash HashOf(CProcessInfo& info, OB_STATUSCODE& status, bool parent = false) {
  Hash hash{};
  hash.fill(0xAA);
  std::uint32_t size = hash.size();
  status = parent ? info.GetParentProcessHash(hash.data(), size)
                  : info.GetProcessHash(hash.data(), size);
  return hash;
}

std::wstring UserOf(CProcessInfo& info, OB_STATUSCODE& status, std::uint16_t& type,
                    bool parent = false) {
  std::array<wchar_t, CProcessInfo::kUserCapacity> buffer{};
  std::uint32_t size = buffer.size();
  type = 0xFFFF;
  status = parent ? info.GetParentProcessUser(buffer.data(), size, type)
                  : info.GetProcessUser(buffer.data(), size, type);
  return status == kObSuccess ? std::wstring(buffer.data()) : std::wstring();
}

Hash FileHash(const std::string& path) {
  Hash hash{};
  CSha256HashManagerImpl hasher;
  EXPECT_EQ(hasher.GetHashSHA256(OBRuntime::Utf8ToWide(path), hash.data(), hash.size(), 0),
            kObSuccess);
  return hash;
}

// Lookups on real processes through /proc, with a cache of their own.
class ProcessInfoTest : public ::testing::Test {
 protected:
  CProcessCache cache_;
  CInlineFileHasher hasher_;
  ProcessInfoServices services_{LinuxProcessQueries::Instance(), LinuxAccountDirectory::Instance(),
                                cache_, hasher_};
};

TEST_F(ProcessInfoTest, ChildProcessHasPathParentUserAndHash) {
  ChildProcess child("/bin/sleep", {"sleep", "100"});
  ASSERT_TRUE(child.WaitForExec());
  const std::string sleep = std::filesystem::canonical("/bin/sleep").string();
  const std::string self = std::filesystem::canonical("/proc/self/exe").string();

  for (int round = 0; round < 2; ++round) {  // the second round answers from the cache
    SCOPED_TRACE(round);
    CProcessInfo info(static_cast<std::uint32_t>(child.pid()), services_);
    OB_STATUSCODE status = kObFailure;
    EXPECT_EQ(PathOf(info, status), OBRuntime::Utf8ToWide(sleep));
    std::uint32_t parent = 0;
    ASSERT_EQ(info.GetParentProcessId(parent), kObSuccess);
    EXPECT_EQ(parent, static_cast<std::uint32_t>(::getpid()));
    EXPECT_EQ(PathOf(info, status, true), OBRuntime::Utf8ToWide(self));
    EXPECT_EQ(HashOf(info, status), FileHash(sleep));
    EXPECT_EQ(status, kObSuccess);
    EXPECT_EQ(HashOf(info, status, true), FileHash(self));
    EXPECT_EQ(status, kObSuccess);

    std::string own_name;
    int os_error = 0;
    ASSERT_EQ(orv::platform::LookupUserName(::geteuid(), own_name, os_error), kObSuccess);
    const std::wstring expected_user =
        OBRuntime::Utf8ToWide(orv::platform::ShortHostName() + "\\" + own_name);
    std::uint16_t type = 0;
    EXPECT_EQ(UserOf(info, status, type), expected_user);
    EXPECT_EQ(status, kObSuccess);
    if (::geteuid() == 0) {
      EXPECT_EQ(type, kAccountTypeAdministrators);
    }
    EXPECT_EQ(UserOf(info, status, type, true), expected_user);
  }
  EXPECT_EQ(cache_.Size(), 2u);
}

TEST_F(ProcessInfoTest, ExitedProcessGivesFailureEverywhere) {
  ChildProcess child("/bin/sleep", {"sleep", "100"});
  ASSERT_TRUE(child.WaitForExec());
  const auto pid = static_cast<std::uint32_t>(child.pid());
  child.KillAndReap();

  CProcessInfo info(pid, services_);
  OB_STATUSCODE status = kObSuccess;
  PathOf(info, status);
  EXPECT_EQ(status, kObFailure);
  std::uint32_t parent = 0;
  EXPECT_EQ(info.GetParentProcessId(parent), kObFailure);
  PathOf(info, status, true);
  EXPECT_EQ(status, kObFailure);
  HashOf(info, status);
  EXPECT_EQ(status, kObFailure);
  HashOf(info, status, true);
  EXPECT_EQ(status, kObFailure);
  std::uint16_t type = 0;
  UserOf(info, status, type);
  EXPECT_EQ(status, kObFailure);
  UserOf(info, status, type, true);
  EXPECT_EQ(status, kObFailure);
  EXPECT_EQ(cache_.Size(), 0u);

  // Each flow of the gone process asks again; the failure is logged once, not once per flow.
  orv::test::LogCapture log;
  for (int flow = 0; flow < 3; ++flow) {
    CProcessInfo again(pid, services_);
    PathOf(again, status);
    EXPECT_EQ(status, kObFailure);
  }
  const std::string line = "process " + std::to_string(pid) + " cannot be read";
  const auto lines = log.Lines();
  EXPECT_LE(std::count_if(lines.begin(), lines.end(),
                          [&](const auto& logged) { return logged.message.starts_with(line); }),
            1);
}

TEST_F(ProcessInfoTest, ProcessZeroAndKernelThreadsAreSystem) {
  CProcessInfo zero(0, services_);
  std::array<wchar_t, 7> exact{};
  ASSERT_EQ(zero.GetProcessPath(exact.data(), exact.size()), kObSuccess);
  EXPECT_EQ(std::wstring(exact.data()), L"SYSTEM");
  std::array<wchar_t, 6> small{};
  EXPECT_EQ(CProcessInfo(0, services_).GetProcessPath(small.data(), small.size()),
            kObBufferTooSmall);
  std::uint32_t parent = 1;
  ASSERT_EQ(zero.GetParentProcessId(parent), kObSuccess);
  EXPECT_EQ(parent, 0u);
  OB_STATUSCODE status = kObFailure;
  EXPECT_EQ(HashOf(zero, status), Hash{});
  EXPECT_EQ(status, kObSuccess);
  std::uint16_t type = 0;
  UserOf(zero, status, type);
  EXPECT_EQ(status, kObFailure);

  orv::platform::ProcStat stat;
  int os_error = 0;
  if (orv::platform::ReadProcStat(2, stat, os_error) != kObSuccess || !stat.kernel_thread) {
    GTEST_SKIP() << "kthreadd is not visible in this pid namespace";
  }
  CProcessInfo kthread(2, services_);
  EXPECT_EQ(PathOf(kthread, status), L"SYSTEM");
  ASSERT_EQ(kthread.GetParentProcessId(parent), kObSuccess);
  EXPECT_EQ(parent, 0u);
  EXPECT_EQ(PathOf(kthread, status, true), L"SYSTEM");
  EXPECT_EQ(HashOf(kthread, status), Hash{});
  EXPECT_EQ(status, kObSuccess);
  EXPECT_EQ(HashOf(kthread, status, true), Hash{});
  EXPECT_EQ(status, kObSuccess);
}

TEST_F(ProcessInfoTest, ProcessOfAnotherUser) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to start a process as another user";
  }
  const uid_t nobody = orv::platform::ReadOverflowUid();
  ChildProcess child("/bin/sleep", {"sleep", "100"}, [nobody] {
    (void)::setgroups(0, nullptr);
    (void)::setgid(nobody);
    (void)::setuid(nobody);
  });
  ASSERT_TRUE(child.WaitForExec());
  CProcessInfo info(static_cast<std::uint32_t>(child.pid()), services_);
  OB_STATUSCODE status = kObFailure;
  std::uint16_t type = 0;
  const std::wstring user = UserOf(info, status, type);
  std::string name;
  int os_error = 0;
  if (orv::platform::LookupUserName(nobody, name, os_error) == kObSuccess) {
    EXPECT_EQ(status, kObSuccess);
    EXPECT_EQ(user, OBRuntime::Utf8ToWide(orv::platform::ShortHostName() + "\\" + name));
    EXPECT_EQ(type, kAccountTypeGuests);
  } else {
    EXPECT_EQ(status, kObFailure);
  }
  EXPECT_EQ(PathOf(info, status),
            OBRuntime::Utf8ToWide(std::filesystem::canonical("/bin/sleep").string()));
}

TEST_F(ProcessInfoTest, BufferSizesAreChecked) {
  CProcessInfo info(static_cast<std::uint32_t>(::getpid()), services_);
  std::array<std::uint8_t, 31> short_hash{};
  std::uint32_t size = short_hash.size();
  EXPECT_EQ(info.GetProcessHash(short_hash.data(), size), kObBufferTooSmall);
  EXPECT_EQ(size, 32u);
  size = 64;
  EXPECT_EQ(info.GetParentProcessHash(nullptr, size), kObBufferTooSmall);
  EXPECT_EQ(size, 32u);

  std::uint16_t type = 0;
  size = 0;
  ASSERT_EQ(info.GetProcessUser(nullptr, size, type), kObBufferTooSmall);
  std::wstring name(size, L'\0');
  std::uint32_t capacity = size;
  ASSERT_EQ(info.GetProcessUser(name.data(), capacity, type), kObSuccess);
  EXPECT_EQ(capacity + 3, size);  // user + domain + 4 = length - 1 + 4

  std::array<wchar_t, 3> tiny{};
  EXPECT_EQ(info.GetProcessPath(tiny.data(), tiny.size()), kObBufferTooSmall);
  EXPECT_EQ(info.GetProcessPath(nullptr, 260), kObBadArgument);
}

// Lookups through fakes: reused ids, exec, races and the cache.
class ProcessInfoFakeTest : public ::testing::Test {
 protected:
  ProcessInfoFakeTest() {
    accounts_.users = {{0, "root"}, {1000, "alice"}};
    accounts_.groups = {{0, "root"}, {27, "sudo"}, {100, "users"}};
    image_ = (dir_.path() / "image").string();
    std::ofstream(image_) << "abc";
    AddProcess(1, 0, 10, "init", "/sbin/init", 0);
    AddProcess(500, 1, 100, "app", "/usr/bin/app", 1000);
  }

  void AddProcess(std::uint32_t pid, std::uint32_t parent, std::uint64_t start,
                  const std::string& name, const std::string& image, std::uint32_t uid) {
    FakeProcess& process = queries_.processes[pid];
    process.stat.command_name = name;
    process.stat.parent_pid = parent;
    process.stat.start_time = start;
    process.image = image;
    process.credentials.effective_uid = uid;
    process.credentials.groups = {100};
    process.image_file = OBRuntime::Utf8ToWide(image_);
  }

  std::wstring Path(std::uint32_t pid, bool parent = false) {
    CProcessInfo info(pid, services_);
    OB_STATUSCODE status = kObFailure;
    return PathOf(info, status, parent);
  }

  orv::test::TempDir dir_;
  std::string image_;
  FakeProcessQueries queries_;
  FakeAccountDirectory accounts_;
  CProcessCache cache_{8};
  CInlineFileHasher hasher_;
  ProcessInfoServices services_{queries_, accounts_, cache_, hasher_, &Now};

  static std::chrono::steady_clock::time_point Now() { return now_; }
  static inline std::chrono::steady_clock::time_point now_{std::chrono::hours(1)};
};

TEST_F(ProcessInfoFakeTest, WarmLookupReadsOnlyStat) {
  int stat_calls_before = 0;
  for (int round = 0; round < 3; ++round) {
    stat_calls_before = queries_.stat_calls;
    CProcessInfo info(500, services_);
    OB_STATUSCODE status = kObFailure;
    EXPECT_EQ(PathOf(info, status), L"/usr/bin/app");
    EXPECT_EQ(PathOf(info, status, true), L"/sbin/init");
    HashOf(info, status);
    EXPECT_EQ(status, kObSuccess);
    HashOf(info, status, true);
    EXPECT_EQ(status, kObSuccess);
    std::uint16_t type = 0;
    EXPECT_EQ(UserOf(info, status, type), L"host\\alice");
    EXPECT_EQ(type, kAccountTypeUsers);
    EXPECT_EQ(UserOf(info, status, type, true), L"host\\root");
    EXPECT_EQ(type, kAccountTypeAdministrators);
  }
  EXPECT_EQ(queries_.image_calls, 2);       // app and init, once each
  EXPECT_EQ(queries_.credential_calls, 2);  // likewise, within the recheck interval
  // A warm lookup reads the process's stat once; the parent comes from the cache.
  EXPECT_EQ(queries_.stat_calls - stat_calls_before, 1);
}

TEST_F(ProcessInfoFakeTest, ReusedIdOrExecNeverGivesTheOldAnswer) {
  EXPECT_EQ(Path(500), L"/usr/bin/app");
  // Same id, later start: another process.
  AddProcess(500, 1, 200, "other", "/usr/bin/other", 0);
  EXPECT_EQ(Path(500), L"/usr/bin/other");
  // Same id and start time, new command name: the process ran exec.
  AddProcess(500, 1, 200, "third", "/usr/bin/third", 0);
  EXPECT_EQ(Path(500), L"/usr/bin/third");
  EXPECT_EQ(queries_.image_calls, 3);
}

TEST_F(ProcessInfoFakeTest, SameNamedExecAndUserChangeAreSeen) {
  EXPECT_EQ(Path(500), L"/usr/bin/app");
  const std::string launched = (dir_.path() / "launched").string();
  std::ofstream(launched) << "the binary the launcher execs";
  // A launcher script named "app" execs a binary of the same name: same id, start and name.
  AddProcess(500, 1, 100, "app", "/opt/app/app", 1000);
  queries_.processes[500].image_file = OBRuntime::Utf8ToWide(launched);
  CProcessInfo info(500, services_);
  OB_STATUSCODE status = kObFailure;
  EXPECT_EQ(PathOf(info, status), L"/opt/app/app");
  EXPECT_EQ(HashOf(info, status), FileHash(launched));
  // The process then drops to another user without exec; the next check after the interval
  // sees it.
  queries_.processes[500].credentials.effective_uid = 0;
  now_ += CProcessInfo::kUserRecheckInterval;
  CProcessInfo later(500, services_);
  std::uint16_t type = 0;
  EXPECT_EQ(UserOf(later, status, type), L"host\\root");
}

TEST_F(ProcessInfoFakeTest, ParentIdReusedByANewerProcessCountsAsGone) {
  AddProcess(1, 0, 1000, "newer", "/usr/bin/newer", 0);  // started after its "child" 500
  CProcessInfo info(500, services_);
  std::uint32_t parent = 0;
  ASSERT_EQ(info.GetParentProcessId(parent), kObSuccess);
  EXPECT_EQ(parent, 1u);
  OB_STATUSCODE status = kObSuccess;
  PathOf(info, status, true);
  EXPECT_EQ(status, kObFailure);
  std::uint16_t type = 0;
  UserOf(info, status, type, true);
  EXPECT_EQ(status, kObFailure);
}

TEST_F(ProcessInfoFakeTest, ParentIsTheOneSeenFirst) {
  EXPECT_EQ(Path(500, true), L"/sbin/init");
  // The parent exits and its id is reused: the cached parent still answers.
  AddProcess(1, 0, 1000, "newer", "/usr/bin/newer", 0);
  EXPECT_EQ(Path(500, true), L"/sbin/init");
  // Once the old parent's entry is gone, the newer process is not taken for it.
  CProcessCache small_cache(2);
  ProcessInfoServices services{queries_, accounts_, small_cache, hasher_};
  AddProcess(1, 0, 10, "init", "/sbin/init", 0);
  {
    CProcessInfo first(500, services);
    OB_STATUSCODE status = kObFailure;
    EXPECT_EQ(PathOf(first, status, true), L"/sbin/init");
  }
  AddProcess(1, 0, 1000, "newer", "/usr/bin/newer", 0);
  small_cache.Store({77, 1}, std::make_shared<ProcessFacts>());
  small_cache.Store({78, 1}, std::make_shared<ProcessFacts>());  // evicts the parent
  CProcessInfo second(500, services);
  OB_STATUSCODE status = kObSuccess;
  PathOf(second, status, true);
  EXPECT_EQ(status, kObFailure);
}

TEST_F(ProcessInfoFakeTest, ProcessReplacedDuringLookupIsNotCached) {
  CProcessInfo info(500, services_);
  OB_STATUSCODE status = kObFailure;
  EXPECT_EQ(PathOf(info, status), L"/usr/bin/app");
  queries_.processes[500].stat.start_time = 300;  // exited and the id reused meanwhile
  HashOf(info, status);
  EXPECT_EQ(status, kObFailure);
  std::uint16_t type = 0;
  UserOf(info, status, type);
  EXPECT_EQ(status, kObFailure);
  queries_.processes.erase(500);
  HashOf(info, status);
  EXPECT_EQ(status, kObFailure);
}

TEST_F(ProcessInfoFakeTest, UnreadableImageUnknownUserAndSetters) {
  queries_.processes[500].image_status = kObFailure;
  orv::test::LogCapture log;
  OB_STATUSCODE status = kObSuccess;
  EXPECT_EQ(Path(500), L"");
  EXPECT_TRUE(log.Contains(
      "CProcessInfo::getProcessPath call to GetModuleFileNameEx failed with error code 13"));

  CProcessInfo info(500, services_);
  info.SetProcessPath(L"/from/driver");
  info.SetParentProcessPath(L"/parent/from/driver");
  EXPECT_EQ(PathOf(info, status), L"/from/driver");
  EXPECT_EQ(PathOf(info, status, true), L"/parent/from/driver");

  queries_.processes[500].credentials.effective_uid = 4242;  // no account entry
  std::uint16_t type = 0;
  UserOf(info, status, type);
  EXPECT_EQ(status, kObFailure);
  accounts_.users[4242] = "";
  UserOf(info, status, type);
  EXPECT_EQ(status, kObExportNotPossible);

  queries_.processes[500].image_file = L"/nonexistent/file";
  HashOf(info, status);
  EXPECT_EQ(status, kObFailure);
  EXPECT_TRUE(log.Contains("GetHashSHA256 error -9995"));
}

TEST_F(ProcessInfoTest, ConcurrentLookupsShareTheCache) {
  const auto pid = static_cast<std::uint32_t>(::getpid());
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        CProcessInfo info(pid, services_);
        OB_STATUSCODE status = kObFailure;
        std::uint16_t type = 0;
        HashOf(info, status);
        failures += status != kObSuccess;
        UserOf(info, status, type);
        failures += status != kObSuccess;
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(failures.load(), 0);
}

TEST(ProcessCacheTest, StaysWithinItsCapacity) {
  CProcessCache cache(4);
  for (std::uint32_t pid = 1; pid <= 20; ++pid) {
    cache.Store({pid, pid}, std::make_shared<ProcessFacts>());
    EXPECT_LE(cache.Size(), 4u);
    EXPECT_NE(cache.Find({pid, pid}), nullptr);
  }
  EXPECT_EQ(cache.Find({20, 21}), nullptr);
}

}  // namespace
