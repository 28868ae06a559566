// Process lookups through /proc and through fakes, the hash worker, and the surrogate host
// containers that name the modules a host process runs.
#include "flow/process_info.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "flow/account_info.h"
#include "flow/container_manager.h"
#include "flow/host_containers.h"
#include "flow/interpreter_container.h"
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
using orv::test::LogCapture;
using orv::test::Strings;
using Hash = std::array<std::uint8_t, 32>;
using Paths = std::vector<std::wstring>;
using enum RegistryRoot;
using enum RegistryView;

constexpr std::uint32_t kHostPid = 700;

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
  const bool known = orv::platform::LookupUserName(uid, name, os_error) == kObSuccess;
  return known ? OBRuntime::Utf8ToWide(orv::platform::ShortHostName() + "\\" + name) : L"";
}

// How many captured lines hold text.
std::size_t Occurrences(const LogCapture& log, const std::string& text) {
  const auto lines = log.Lines();
  return std::ranges::count_if(
      lines, [&](const auto& line) { return line.message.find(text) != std::string::npos; });
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
  LogCapture log;
  for (int flow = 0; flow < 3; ++flow) {
    CProcessInfo info(gone, services);
    std::uint32_t parent = 0;
    EXPECT_EQ(info.GetParentProcessId(parent), kObFailure);
    for (const Answers& g : {Ask(info), Ask(info, true)}) {
      EXPECT_EQ(std::tuple(g.path_status, g.hash_status, g.user_status),
                std::tuple(kObFailure, kObFailure, kObFailure));
    }
  }
  EXPECT_EQ(Occurrences(log, "process " + std::to_string(gone) + " cannot be read"), 1u);

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
  CProcessInfo child(600, services_);
  ASSERT_EQ(child.GetParentProcessId(parent), kObSuccess);
  EXPECT_EQ(parent, 1u);
  const Answers gone = Ask(child, true);
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
  LogCapture log;
  OBRuntime::Sha256Digest digest{};
  EXPECT_EQ(worker.HashOpenFile(OpenForHashing(small), 7, digest), kObMessageParked);
  for (const std::string& unhashable : {huge, huge, fifo, dir.path().string()}) {
    EXPECT_EQ(worker.HashOpenFile(OpenForHashing(unhashable), 7, digest), kObNotFound)
        << unhashable;
  }
  EXPECT_EQ(Occurrences(log, "limit: not hashed"), 1u);
  EXPECT_TRUE(orv::test::WaitUntil(
      [&] { return worker.HashOpenFile(OpenForHashing(small), 7, digest) != kObMessageParked; }));
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
  ChildProcess child("/usr/bin/unshare", {"unshare", "-rm", "sh", "-c", mount_and_wait});
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

// Registry values by root, key, value name and view.
class FakeRegistry : public IRegistryReader {
 public:
  void Set(RegistryRoot root, const std::wstring& key, const std::wstring& name, std::uint32_t type,
           Paths strings, RegistryView view = k64Bit) {
    values_[{root, key + L"|" + name, view}] = RegistryValue{type, std::move(strings)};
  }
  OB_STATUSCODE ReadValue(RegistryRoot root, std::wstring_view key, std::wstring_view name,
                          RegistryView view, std::uint32_t, RegistryValue& value) override {
    const auto it = values_.find({root, std::wstring(key) + L"|" + std::wstring(name), view});
    value = it == values_.end() ? RegistryValue{} : it->second;
    return it == values_.end() ? kObNotFound : kObSuccess;
  }
  OB_STATUSCODE ExpandEnvironmentStrings(std::wstring_view text, std::uint32_t,
                                         std::wstring& expanded) override {
    expanded = std::wstring(text);
    if (expanded.starts_with(L"%SystemRoot%")) expanded.replace(0, 12, L"C:\\Windows");
    return kObSuccess;
  }

 private:
  std::map<std::tuple<RegistryRoot, std::wstring, RegistryView>, RegistryValue> values_;
};

// Each container kind against one fake host process and one registry: the modules it names for
// an image and command line, or its failure.
TEST(ContainerTest, EachKindFindsTheModulesItsHostRuns) {
  FakeRegistry registry;
  const std::wstring groups = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Svchost\\";
  const auto service = [&](const std::wstring& name, std::uint32_t type, const std::wstring& dll,
                           RegistryView view = k64Bit) {
    registry.Set(kLocalMachine, L"SYSTEM\\CurrentControlSet\\services\\" + name + L"\\Parameters",
                 L"ServiceDll", type, {dll}, view);
  };
  // Of the 25 services of netsvcs two are loaded; of idle none, so the first 20 are named.
  Paths netsvcs, idle, first_idle;
  for (int index = 0; index < 25; ++index) {
    const std::wstring n = std::to_wstring(index);
    netsvcs.push_back(L"svc" + n);
    service(netsvcs.back(), kRegistryString, L"C:\\Windows\\System32\\Svc" + n + L".dll");
    idle.push_back(L"idle" + n);
    service(idle.back(), kRegistryString, L"c:\\idle" + n + L".dll");
    if (index < 20) first_idle.push_back(L"c:\\idle" + n + L".dll");
  }
  registry.Set(kLocalMachine, groups, L"netsvcs", kRegistryMultiString, netsvcs);
  registry.Set(kLocalMachine, groups, L"idle", kRegistryMultiString, idle);
  // A single-string group names one service; it is in the default view only, read for hosts run
  // from syswow64 or on a 32-bit system. Services without a usable DLL make the answer partial.
  registry.Set(kLocalMachine, groups, L"one", kRegistryString, {L"exp", L"ignored"}, kDefault);
  service(L"exp", kRegistryExpandString, L"%SystemRoot%\\System32\\Exp.dll", kDefault);
  registry.Set(kLocalMachine, groups, L"partial", kRegistryMultiString, {L"svc3", L"no", L"dw"});
  service(L"dw", kRegistryDword, L"");
  const std::wstring clsid = L"CLSID\\{AB-12}\\InprocServer32";
  registry.Set(kClassesRoot, clsid, L"", kRegistryExpandString, {L"%SystemRoot%\\s.dll"});
  registry.Set(kClassesRoot, L"CLSID\\{CD}\\InprocServer32", L"", kRegistryDword, {});

  CSvcHostContainer svchost(registry, L"/win", true);
  CSvcHostContainer svchost32(registry, L"/win", false);
  CRunDll32Container rundll(L"/win", false);
  CDllHostContainer dllhost(registry, L"/win", true);
  CInterpreterContainer interpreter;
  orv::test::FakeProcessQueries queries;
  orv::test::FakeProcess& host = queries.processes[kHostPid];
  host.mapped = {"c:\\windows\\system32\\svc4.dll", "C:\\Windows\\System32\\Svc17.dll",
                 "c:\\windows\\system32\\kernel32.dll", "C:\\Windows\\System32\\shell32.dll"};
  host.cwd = "/srv/work";
  LogCapture log;
  // The modules container finds for a host of this image and command line, or its failure.
  const auto check = [&](IContainer& container, const std::string& image, const Strings& argv,
                         OB_STATUSCODE status, const Paths& modules) {
    host.image = image;
    host.argv = argv;
    CProcessInfoSurrogateable process(kHostPid, queries);
    Paths paths;
    EXPECT_EQ(container.GetModulePathList(process, paths), status) << argv.size();
    EXPECT_EQ(paths, modules) << (argv.empty() ? "" : argv.back());
  };
  const std::string native = "/win/system32/svchost.exe";
  const std::wstring system32 = L"c:\\windows\\system32\\";
  check(svchost, native, {"svchost.exe", "-k", "netsvcs", "-p"}, kObSuccess,
        {system32 + L"svc17.dll", system32 + L"svc4.dll"});
  check(svchost, native, {"svchost.exe", "-k", "idle"}, kObSuccess, first_idle);
  check(svchost, "/win/SysWOW64/svchost.exe", {"svchost", "-k", "one"}, kObSuccess,
        {system32 + L"exp.dll"});
  check(svchost32, native, {"svchost.exe", "-k", "one"}, kObSuccess, {system32 + L"exp.dll"});
  check(svchost, native, {"svchost.exe", "-k", "one"}, kObFailure, {});
  check(svchost, native, {"svchost.exe", "-k", "partial"}, kObPartialFailure,
        {system32 + L"svc3.dll"});
  check(svchost, native, {"svchost.exe", "-k"}, kObFailure, {});
  check(rundll, "", {"rundll32.exe", "C:\\Tools\\Thing.dll,Entry", "arg"}, kObSuccess,
        {L"C:\\Tools\\Thing.dll"});
  check(rundll, "", {"rundll32.exe", "'sub\\Shell32.DLL',Control_RunDLL"}, kObSuccess,
        {system32 + L"shell32.dll"});
  check(rundll, "", {"rundll32.exe", "absent.dll,Entry"}, kObFailure, {});
  check(rundll, "", {"rundll32.exe", "shell32.dll"}, kObFailure, {});
  check(rundll, "", {}, kObFailure, {});
  check(dllhost, "", {"dllhost.exe", "/Processid:{AB-12}"}, kObSuccess, {L"C:\\Windows\\s.dll"});
  check(dllhost, "", {"dllhost.exe", "/Processid:{CD}"}, kObFailure, {});
  check(dllhost, "", {"dllhost.exe", "/Processid:{EF}"}, kObFailure, {});
  check(dllhost, "", {"dllhost.exe", "/Processid:"}, kObFailure, {});
  const std::string python = "/usr/bin/python3.11";
  check(interpreter, python, {"python3", "-u", "../app/./main.py"}, kObSuccess,
        {L"/srv/app/main.py"});
  check(interpreter, python, {"python3", "-c", "pass"}, kObNotFound, {});
  check(interpreter, python, {}, kObFailure, {});
  EXPECT_TRUE(log.Has(LOG_ERROR, "CSvcHostContainer::GetModulePathList",
                      "Failed to fetch the service groups for svchost."));
  EXPECT_TRUE(log.Has(LOG_ERROR, "CDllHostContainer::GetModulePathList",
                      "Failed to fetch the dll for dllhost."));
  Paths hosts;
  ASSERT_EQ(svchost.GetContainerPaths(hosts), kObSuccess);
  EXPECT_EQ(hosts, (Paths{L"/win/system32/svchost.exe", L"/win/syswow64/svchost.exe"}));
  ASSERT_EQ(svchost32.GetContainerPaths(hosts), kObSuccess);
  EXPECT_EQ(hosts.size(), 1u);
}

TEST(InterpreterContainerTest, FindsTheScriptArgument) {
  // Interpreter, arguments, the script found.
  const std::vector<std::tuple<std::wstring, Paths, std::wstring>> cases = {
      {L"python", {L"python3", L"-u", L"-W", L"ignore", L"/srv/app.py", L"-c"}, L"/srv/app.py"},
      {L"python", {L"python3", L"-Wignore", L"app.py"}, L"app.py"},
      {L"python", {L"python3", L"-Bc", L"print(1)"}, L""},
      {L"python", {L"python3", L"-"}, L""},
      {L"python", {L"python3"}, L""},
      {L"perl", {L"perl", L"-Ilib", L"-w", L"tool.pl"}, L"tool.pl"},
      {L"node", {L"node", L"--require", L"x", L"--inspect=9229", L"server.js"}, L"server.js"},
      {L"node", {L"node", L"--eval=1"}, L""},
      {L"bash", {L"bash", L"-o", L"errexit", L"+O", L"extglob", L"run.sh"}, L"run.sh"},
      {L"dash", {L"sh", L"--", L"-odd-name.sh"}, L"-odd-name.sh"},
      {L"awk", {L"awk", L"prog"}, L""}};
  for (const auto& [interpreter, argv, script] : cases) {
    EXPECT_EQ(CInterpreterContainer::FindScript(interpreter, argv), script)
        << OBRuntime::WideToUtf8(interpreter + L" " + argv.back());
  }
  EXPECT_EQ(StripTrailingVersion(L"perl5.36.0"), L"perl");
  EXPECT_EQ(StripTrailingVersion(L"3.11"), L"3.11");
}

// A container with a fixed answer, for the manager's rules.
class FixedContainer : public IContainer {
 public:
  FixedContainer(Paths hosts, OB_STATUSCODE status, Paths modules = {})
      : hosts_(std::move(hosts)), status_(status), modules_(std::move(modules)) {}
  OB_STATUSCODE GetModulePathList(CProcessInfoSurrogateable&, Paths& paths) override {
    paths = modules_;
    return status_;
  }
  OB_STATUSCODE GetContainerPaths(Paths& paths) override {
    paths = hosts_;
    return kObSuccess;
  }
  bool NeedsCommandLine() const override { return true; }

 private:
  Paths hosts_;
  OB_STATUSCODE status_;
  Paths modules_;
};

// Hosts are found by full path, file name or name without version, ignoring case; the modules
// are named and hashed unless excluded, and only a successful or partial answer gives any. A
// real shell's script and open .jar are found through /proc.
TEST(ContainerManagerTest, FindsHostsAndResolvesTheirModules) {
  orv::test::TempDir dir;
  const std::string module = (dir.path() / "Mod.dll").string();
  std::ofstream(module) << "abc";
  const Paths modules = {OBRuntime::Utf8ToWide(module),
                         OBRuntime::Utf8ToWide((dir.path() / "gone.dll").string())};
  CInlineFileHasher hasher;
  CContainerManager manager(hasher);
  manager.RegisterContainer(std::make_unique<CJavaContainer>());
  manager.RegisterContainer(std::make_unique<CInterpreterContainer>());
  manager.RegisterContainer(
      std::make_unique<FixedContainer>(Paths{L"/Opt/Host/Runner", L"ok"}, kObSuccess, modules));
  LogCapture log;
  manager.RegisterContainer(
      std::make_unique<FixedContainer>(Paths{L"OK", L"partial"}, kObPartialFailure, modules));
  EXPECT_TRUE(log.Has(LOG_WARNING, "CContainerManager::RegisterContainer",
                      "ok container already exists. Overwriting the old entry"));
  manager.RegisterContainer(std::make_unique<FixedContainer>(Paths{L"bad"}, kObFailure));
  for (const wchar_t* path : {L"/mnt/c/Program Files/Java/bin/JavaW.exe", L"/usr/bin/python3.11",
                              L"/usr/bin/perl5.36.0", L"/usr/bin/dash", L"/opt/host/RUNNER"}) {
    EXPECT_TRUE(manager.IsContainer(path)) << OBRuntime::WideToUtf8(path);
  }
  EXPECT_FALSE(manager.IsContainer(L"/other/runner"));
  EXPECT_FALSE(manager.NeedsCommandLine(L"/usr/bin/java"));
  EXPECT_TRUE(manager.NeedsCommandLine(L"/usr/bin/bash"));
  EXPECT_FALSE(manager.NeedsCommandLine(L"/usr/bin/sleep"));
  EXPECT_TRUE(CContainerManager::GetInstance().IsContainer(L"/usr/bin/ruby3.1"));

  orv::test::FakeProcessQueries queries;
  CProcessInfoSurrogateable process(kHostPid, queries);
  const std::vector<std::string> hashes = {orv::test::kAbcDigest, std::string(32, '\0')};
  const Paths names = {L"Mod.dll", L"gone.dll"};
  // Image, excluded field, status, names, hashes. "/x/ok" is found by its file name, and "ok"
  // names the partial container since it was registered again.
  const std::vector<std::tuple<std::wstring, std::uint32_t, OB_STATUSCODE, Paths, Strings>> cases =
      {{L"/opt/host/runner", 0, kObSuccess, names, hashes},
       {L"/x/ok", kFieldHostedModules, kObPartialFailure, {}, hashes},
       {L"runner", kFieldHostedModuleHashes, kObNotFound, {}, {}},
       {L"/opt/host/runner", kFieldHostedModuleHashes, kObSuccess, names, {}},
       {L"bad", 0, kObFailure, {}, {}}};
  for (const auto& [image, excluded, status, expected_names, expected_hashes] : cases) {
    HostedModules result;
    const FieldExclusion exclusion = [&](std::uint32_t field) { return field == excluded; };
    EXPECT_EQ(manager.ResolveHostedModules(image, process, exclusion, result), status);
    EXPECT_EQ(std::tie(result.names, result.hashes), std::tie(expected_names, expected_hashes));
  }

  // A real shell running a script while holding a .jar open.
  const std::string cwd = std::filesystem::canonical(dir.path()).string();
  const int fd = ::open((cwd + "/x.jar").c_str(), O_CREAT | O_RDWR, 0600);  // inherited
  ASSERT_GE(fd, 0);
  // A command after the sleep keeps the shell from replacing itself with it.
  std::ofstream(cwd + "/script.sh") << "sleep 100\nexit 0\n";
  ChildProcess child("/bin/sh", {"sh", "script.sh"}, [&cwd] { (void)::chdir(cwd.c_str()); });
  ::close(fd);
  ASSERT_TRUE(child.WaitForExec());
  CProcessInfoSurrogateable shell(static_cast<std::uint32_t>(child.pid()));
  Paths jars;
  ASSERT_EQ(CJavaContainer().GetModulePathList(shell, jars), kObSuccess);
  EXPECT_EQ(jars, Paths{OBRuntime::Utf8ToWide(cwd + "/x.jar")});
  std::wstring image;
  ASSERT_EQ(shell.GetProcessImagePath(shell.GetProcessId(), image), kObSuccess);
  HostedModules hosted;
  ASSERT_EQ(manager.ResolveHostedModules(image, shell, {}, hosted), kObSuccess)
      << OBRuntime::WideToUtf8(image);
  const Hash script = FileHash(cwd + "/script.sh");
  EXPECT_EQ(std::tie(hosted.names, hosted.hashes),
            std::tuple(Paths{L"script.sh"}, Strings{std::string(script.begin(), script.end())}));
}

}  // namespace
