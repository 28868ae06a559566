#include "flow/process_info.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "flow/account_info.h"
#include "flow_fakes.h"
#include "platform/account_lookup.h"
#include "runtime/sha256_hash_manager.h"
#include "runtime/text.h"
#include "runtime/utils.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace {

using orv::test::ChildProcess;
using Hash = std::array<std::uint8_t, 32>;

// What one CProcessInfo answers for the process (or its parent); empty texts on failure.
struct Answers {
  OB_STATUSCODE path_status = kObFailure;
  std::wstring path;
  OB_STATUSCODE hash_status = kObFailure;
  Hash hash{};
  OB_STATUSCODE user_status = kObFailure;
  std::wstring user;
  std::uint16_t type = 0xFFFF;
};

Answers Ask(CProcessInfo& info, bool parent = false) {
  Answers a;
  a.hash.fill(0xAA);  // so that a hash answered as zeros shows
  std::array<wchar_t, CProcessInfo::kPathCapacity> path{};
  a.path_status = parent ? info.GetParentProcessPath(path.data(), path.size())
                         : info.GetProcessPath(path.data(), path.size());
  a.path = a.path_status == kObSuccess ? path.data() : L"";
  std::uint32_t size = a.hash.size();
  a.hash_status = parent ? info.GetParentProcessHash(a.hash.data(), size)
                         : info.GetProcessHash(a.hash.data(), size);
  std::array<wchar_t, CProcessInfo::kUserCapacity> user{};
  size = user.size();
  a.user_status = parent ? info.GetParentProcessUser(user.data(), size, a.type)
                         : info.GetProcessUser(user.data(), size, a.type);
  a.user = a.user_status == kObSuccess ? user.data() : L"";
  return a;
}

Hash FileHash(const std::string& path) {
  Hash hash{};
  OBRuntime::CSha256HashManagerImpl hasher;
  EXPECT_EQ(hasher.GetHashSHA256(OBRuntime::Utf8ToWide(path), hash.data(), hash.size(), 0),
            kObSuccess);
  return hash;
}

std::wstring LocalUser(uid_t uid) {
  std::string name;
  int os_error = 0;
  if (orv::platform::LookupUserName(uid, name, os_error) != kObSuccess) {
    return L"";
  }
  return OBRuntime::Utf8ToWide(orv::platform::ShortHostName() + "\\" + name);
}

std::string Contents(OBRuntime::UniqueFd file) {
  std::string text(64, '\0');
  const ssize_t got = file.valid() ? ::read(file.get(), text.data(), text.size()) : -1;
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return text;
}

// Lookups on real processes through /proc, with a cache of their own: a child of this process,
// a child running as the overflow user (as root), one that has exited, process 0 and kthreadd.
TEST(ProcessInfoTest, RealProcessesThroughProc) {
  CProcessCache cache;
  CInlineFileHasher hasher;
  const ProcessInfoServices services{LinuxProcessQueries::Instance(),
                                     LinuxAccountDirectory::Instance(), cache, hasher};
  const bool root = ::geteuid() == 0;
  const uid_t other = root ? orv::platform::ReadOverflowUid() : ::geteuid();
  ChildProcess child("/bin/sleep", {"sleep", "100"});
  ChildProcess of_other("/bin/sleep", {"sleep", "100"}, [other] {
    (void)::setgroups(0, nullptr);
    (void)::setgid(other);
    (void)::setuid(other);
  });
  ChildProcess exited("/bin/sleep", {"sleep", "100"});
  ASSERT_TRUE(child.WaitForExec() && of_other.WaitForExec() && exited.WaitForExec());
  const auto gone = static_cast<std::uint32_t>(exited.pid());
  exited.KillAndReap();
  const std::string sleep = std::filesystem::canonical("/bin/sleep").string();
  const std::string self = std::filesystem::canonical("/proc/self/exe").string();
  for (int round = 0; round < 2; ++round) {  // the second round answers from the cache
    SCOPED_TRACE(round);
    CProcessInfo info(static_cast<std::uint32_t>(child.pid()), services);
    std::uint32_t parent = 0;
    ASSERT_EQ(info.GetParentProcessId(parent), kObSuccess);
    EXPECT_EQ(parent, static_cast<std::uint32_t>(::getpid()));
    const Answers own = Ask(info);
    const Answers of_parent = Ask(info, true);
    EXPECT_EQ(std::tuple(own.path, own.hash, own.user),
              std::tuple(OBRuntime::Utf8ToWide(sleep), FileHash(sleep), LocalUser(::geteuid())));
    EXPECT_EQ(std::tuple(of_parent.path, of_parent.hash, of_parent.user),
              std::tuple(OBRuntime::Utf8ToWide(self), FileHash(self), LocalUser(::geteuid())));
    EXPECT_EQ(own.type == kAccountTypeAdministrators, root);
  }
  EXPECT_EQ(cache.Size(), 2u);
  CProcessInfo as_other(static_cast<std::uint32_t>(of_other.pid()), services);
  const Answers a = Ask(as_other);
  EXPECT_EQ(std::tuple(a.path, a.user), std::tuple(OBRuntime::Utf8ToWide(sleep), LocalUser(other)));
  EXPECT_TRUE(!root || a.user.empty() || a.type == kAccountTypeGuests);

  // The flows of an exited process keep coming: each asks again, its failure is logged once.
  orv::test::LogCapture log;
  for (int flow = 0; flow < 3; ++flow) {
    CProcessInfo info(gone, services);
    std::uint32_t parent = 0;
    EXPECT_EQ(info.GetParentProcessId(parent), kObFailure);
    for (const Answers& g : {Ask(info), Ask(info, true)}) {
      EXPECT_EQ(std::tuple(g.path_status, g.hash_status, g.user_status),
                std::tuple(kObFailure, kObFailure, kObFailure));
    }
  }
  const auto lines = log.Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const auto& logged) {
                            return logged.message.starts_with("process " + std::to_string(gone) +
                                                              " cannot be read");
                          }),
            1);

  // Process 0 and kernel threads are SYSTEM, with a zero hash and no user; buffers are checked.
  CProcessInfo zero(0, services);
  const Answers z = Ask(zero);
  EXPECT_EQ(std::tuple(z.path, z.hash_status, z.hash, z.user_status),
            std::tuple(L"SYSTEM", kObSuccess, Hash{}, kObFailure));
  std::uint32_t parent = 1;
  ASSERT_EQ(zero.GetParentProcessId(parent), kObSuccess);
  EXPECT_EQ(parent, 0u);
  std::array<wchar_t, 6> small{};
  EXPECT_EQ(zero.GetProcessPath(small.data(), small.size()), kObBufferTooSmall);
  EXPECT_EQ(zero.GetProcessPath(nullptr, 260), kObBadArgument);
  CProcessInfo info(static_cast<std::uint32_t>(child.pid()), services);
  std::uint32_t size = 31;
  EXPECT_EQ(info.GetParentProcessHash(nullptr, size), kObBufferTooSmall);
  std::uint32_t needed = 0;
  std::uint16_t type = 0;
  ASSERT_EQ(info.GetProcessUser(nullptr, needed, type), kObBufferTooSmall);
  std::wstring name(needed, L'\0');
  std::uint32_t capacity = needed;
  ASSERT_EQ(info.GetProcessUser(name.data(), capacity, type), kObSuccess);
  EXPECT_EQ(std::tuple(size, capacity + 3), std::tuple(32u, needed));  // user + domain + 4
  orv::platform::ProcStat stat;
  int os_error = 0;
  if (orv::platform::ReadProcStat(2, stat, os_error) != kObSuccess || !stat.kernel_thread) {
    GTEST_SKIP() << "kthreadd is not visible in this pid namespace";
  }
  CProcessInfo kthread(2, services);
  for (const Answers& k : {Ask(kthread), Ask(kthread, true)}) {
    EXPECT_EQ(std::tuple(k.path, k.hash_status, k.hash), std::tuple(L"SYSTEM", kObSuccess, Hash{}));
  }
}

// Lookups through fakes: reused ids, exec, races and the cache.
class ProcessInfoFakeTest : public ::testing::Test {
 protected:
  ProcessInfoFakeTest() {
    accounts_.users = {{0, "root"}, {1000, "alice"}};
    image_ = (dir_.path() / "image").string();
    std::ofstream(image_) << "abc";
    AddProcess(1, 0, 10, "init", "/sbin/init", 0);
    AddProcess(500, 1, 100, "app", "/usr/bin/app", 1000);
  }

  void AddProcess(std::uint32_t pid, std::uint32_t parent, std::uint64_t start,
                  const std::string& name, const std::string& image, std::uint32_t uid) {
    orv::test::FakeProcess& process = queries_.processes[pid];
    process = {};
    process.stat = {name, parent, start};
    process.image = image;
    process.credentials.effective_uid = uid;
    process.image_file = OBRuntime::Utf8ToWide(image_);
  }

  Answers AskFor(std::uint32_t pid, bool parent = false) {
    CProcessInfo info(pid, services_);
    return Ask(info, parent);
  }

  orv::test::TempDir dir_;
  std::string image_;
  orv::test::FakeProcessQueries queries_;
  orv::test::FakeAccountDirectory accounts_;
  CProcessCache cache_{8};
  CInlineFileHasher hasher_;
  ProcessInfoServices services_{queries_, accounts_, cache_, hasher_, &Now};

  static std::chrono::steady_clock::time_point Now() { return now_; }
  static inline std::chrono::steady_clock::time_point now_{std::chrono::hours(1)};
};

// A warm lookup reads only the process's stat; a reused id, an exec (also of a binary with the
// launcher's name: only the image's identity tells) and a user change never give the old answer.
TEST_F(ProcessInfoFakeTest, WarmLookupsReadOnlyStatButNeverGiveAnOldAnswer) {
  int stat_calls_before = 0;
  for (int round = 0; round < 3; ++round) {
    stat_calls_before = queries_.stat_calls;
    CProcessInfo info(500, services_);
    const Answers own = Ask(info);
    const Answers parent = Ask(info, true);
    EXPECT_EQ(std::tuple(own.path, own.hash_status, own.user, own.type),
              std::tuple(L"/usr/bin/app", kObSuccess, L"host\\alice", kAccountTypeUsers));
    EXPECT_EQ(std::tuple(parent.path, parent.hash_status, parent.user, parent.type),
              std::tuple(L"/sbin/init", kObSuccess, L"host\\root", kAccountTypeAdministrators));
  }
  EXPECT_EQ(std::tuple(queries_.image_calls, queries_.credential_calls), std::tuple(2, 2));
  EXPECT_EQ(queries_.stat_calls - stat_calls_before, 1);

  AddProcess(500, 1, 200, "other", "/usr/bin/other", 0);  // same id, later start
  EXPECT_EQ(AskFor(500).path, L"/usr/bin/other");
  AddProcess(500, 1, 200, "third", "/usr/bin/third", 0);  // same start, new name: exec
  EXPECT_EQ(AskFor(500).path, L"/usr/bin/third");
  const std::string launched = (dir_.path() / "launched").string();
  std::ofstream(launched) << "the binary the launcher execs";
  AddProcess(500, 1, 200, "third", "/opt/third", 1000);
  queries_.processes[500].image_file = OBRuntime::Utf8ToWide(launched);
  const Answers exec = AskFor(500);
  EXPECT_EQ(std::tuple(exec.path, exec.hash), std::tuple(L"/opt/third", FileHash(launched)));
  EXPECT_EQ(queries_.image_calls, 5);
  // The process then drops to another user without exec; the next check after the interval
  // sees it.
  queries_.processes[500].credentials.effective_uid = 0;
  EXPECT_EQ(AskFor(500).user, L"host\\alice");
  now_ += CProcessInfo::kUserRecheckInterval;
  EXPECT_EQ(AskFor(500).user, L"host\\root");

  // Exited and its id reused during a lookup: neither hash nor user is taken, or cached.
  AddProcess(501, 1, 100, "app", "/usr/bin/app", 1000);
  CProcessInfo info(501, services_);
  std::array<wchar_t, CProcessInfo::kPathCapacity> path{};
  ASSERT_EQ(info.GetProcessPath(path.data(), path.size()), kObSuccess);
  queries_.processes[501].stat.start_time = 300;
  const Answers a = Ask(info);
  EXPECT_EQ(std::tuple(a.hash_status, a.hash, a.user_status),
            std::tuple(kObFailure, Hash{}, kObFailure));
  queries_.processes.erase(501);
  EXPECT_EQ(Ask(info).hash_status, kObFailure);
}

TEST_F(ProcessInfoFakeTest, ParentIsTheOneSeenFirstNeverANewerHolderOfItsId) {
  EXPECT_EQ(AskFor(500, true).path, L"/sbin/init");
  // The parent exits and its id is reused: the cached parent still answers.
  AddProcess(1, 0, 1000, "newer", "/usr/bin/newer", 0);
  EXPECT_EQ(AskFor(500, true).path, L"/sbin/init");
  // Once only the old parent's entry is evicted, the newer process is not taken for it.
  for (std::uint32_t pid = 77; pid < 84; ++pid) {
    if (pid == 83) {
      EXPECT_EQ(AskFor(500).path, L"/usr/bin/app");  // keeps the child's entry recent
    }
    cache_.Store({pid, 1}, std::make_shared<ProcessFacts>());
  }
  const Answers evicted = AskFor(500, true);
  EXPECT_EQ(std::tuple(evicted.path_status, evicted.user_status),
            std::tuple(kObFailure, kObFailure));
  // A process whose parent id already named a newer process when first seen has no parent.
  AddProcess(600, 1, 500, "child", "/usr/bin/child", 0);
  std::uint32_t parent = 0;
  CProcessInfo info(600, services_);
  ASSERT_EQ(info.GetParentProcessId(parent), kObSuccess);
  EXPECT_EQ(parent, 1u);
  const Answers gone = Ask(info, true);
  EXPECT_EQ(std::tuple(gone.path_status, gone.hash_status, gone.user_status),
            std::tuple(kObFailure, kObFailure, kObFailure));
}

// The worker answers at once: "not ready" until its thread has hashed the file, "not hashed"
// for what is not a regular file or is over the limit (said once, however often asked).
TEST(FileHashWorkerTest, AnswersAtOnceAndHashesOffTheCallersThread) {
  orv::test::TempDir dir;
  const std::string small = (dir.path() / "small.sh").string();
  std::ofstream(small) << "abc";
  const std::string huge = (dir.path() / "huge.sh").string();
  std::ofstream(huge).close();
  ASSERT_EQ(::truncate(huge.c_str(), off_t{1} << 40), 0);  // a sparse 1 TiB script
  const std::string fifo = (dir.path() / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

  CFileHashWorker worker;
  orv::test::LogCapture log;
  OBRuntime::Sha256Digest digest{};
  EXPECT_EQ(worker.HashOpenFile(OpenForHashing(small), 7, digest), kObMessageParked);
  for (const std::string& unhashable : {huge, huge, fifo, dir.path().string()}) {
    EXPECT_EQ(worker.HashOpenFile(OpenForHashing(unhashable), 7, digest), kObNotFound)
        << unhashable;
  }
  const auto lines = log.Lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const auto& line) {
                            return line.message.find("limit: not hashed") != std::string::npos;
                          }),
            1);
  EXPECT_TRUE(orv::test::WaitUntil(
      [&] { return worker.HashOpenFile(OpenForHashing(small), 7, digest) != kObMessageParked; },
      std::chrono::seconds(10)));
  EXPECT_EQ(worker.HashOpenFile(OpenForHashing(small), 7, digest), kObSuccess);
  EXPECT_EQ(OBRuntime::Utils::EncodeToHex(digest),
            OBRuntime::CSha256HashManagerImpl::GetHashSHA256("abc", 3));
  EXPECT_EQ(worker.FilesHashed(), 1u);

  // A full queue answers "not ready" and forgets the request.
  CFileHashWorker idle(CFileHashWorker::Limits{.workers = 1, .queue_capacity = 0});
  EXPECT_EQ(idle.HashOpenFile(OpenForHashing(small), 7, digest), kObMessageParked);
  EXPECT_EQ(idle.FilesHashed(), 0u);
}

// A script in a process's private /tmp (or container) is not the agent's file of that name.
TEST(ProcessQueriesTest, OpensFilesAsTheProcessSeesThem) {
  orv::test::TempDir dir;
  const std::string script = (dir.path() / "x.sh").string();
  std::ofstream(script) << "outside";
  const std::string mount_and_wait = "mount -t tmpfs none " + dir.path().string() +
                                     " && echo inside > " + script + " && exec sleep 60";
  orv::test::ChildProcess child("/usr/bin/unshare", {"unshare", "-rm", "sh", "-c", mount_and_wait});
  auto& queries = LinuxProcessQueries::Instance();
  const auto pid = static_cast<std::uint32_t>(child.pid());
  std::string seen;
  orv::test::WaitUntil(
      [&] {
        std::vector<std::string> argv;
        int os_error = 0;
        if (queries.CommandLine(pid, argv, os_error) == kObSuccess && !argv.empty() &&
            argv[0] == "sleep") {
          seen = Contents(queries.OpenInProcess(pid, script));
        }
        return seen == "inside\n";
      },
      std::chrono::seconds(10));
  if (seen.empty()) {
    GTEST_SKIP() << "unshare -rm cannot make a mount namespace here";
  }
  EXPECT_EQ(seen, "inside\n");
  EXPECT_EQ(Contents(OpenForHashing(script)), "outside");
}

}  // namespace
