#include "crash/exception_handler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "crash/minidump_reader.h"
#include "crash/minidump_writer.h"
#include "crash/text_match.h"
#include "runtime/agent_thread.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using orv::test::ChildProcess;
using orv::test::MiniDumpReader;
using orv::test::ParsedDump;

constexpr std::uint32_t kConfiguration = CExceptionHandlerEx::kDefaultConfiguration;
constexpr std::uint32_t kNoBreakpointDumps = 0xC0000001;

std::string ExePath() { return ChildProcess::ImageOf("/proc/self/exe"); }

std::string DumpPrefix() {
  return fs::path(ExePath()).filename().string() + "_" + CExceptionHandlerEx::VersionText() + "_";
}

std::string LocalStamp(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[32];
  std::strftime(text, sizeof(text), "%Y%m%d%H%M%S", &local);
  return text;
}

// The clock the handler reads (time(2) may lag it by a tick).
std::time_t Now() { return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()); }

std::vector<fs::path> FilesIn(const fs::path& directory) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(directory)) {
    files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

__attribute__((no_sanitize("undefined"), noinline)) void DereferenceNull() {
  volatile int* volatile pointer = nullptr;
  *pointer = 42;
}

void Abort() { std::abort(); }

void Breakpoint() {
#if defined(__x86_64__)
  __asm__ volatile("int3");
#else
  ::raise(SIGTRAP);
#endif
}

volatile int g_recursion_limit = INT_MAX;  // opaque to the compiler: the recursion is real

__attribute__((no_sanitize("undefined"), noinline)) int Recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  return depth < g_recursion_limit ? Recurse(depth + 1) + frame[0] : 0;
}

void OverflowStack() { static_cast<void>(Recurse(0)); }

// A worker thread started the way the agent starts all of its threads runs off its stack.
void OverflowStackOnAnotherThread() { OBRuntime::StartAgentThread(OverflowStack).join(); }

// The names the next few seconds' dumps would take, planted beforehand with other content.
void PlantNextDumpNames() {
  const std::time_t now = Now();
  for (std::time_t second = now; second < now + 5; ++second) {
    std::ofstream(fs::path(std::getenv("TMPDIR")) / (DumpPrefix() + LocalStamp(second) + ".mdmp"))
        << "planted";
  }
  DereferenceNull();
}

void PreviousHandler(int) {
  constexpr char kMark[] = "previous handler ran\n";
  static_cast<void>(::write(STDERR_FILENO, kMark, sizeof(kMark) - 1));
}

void GlobalCallback(int, siginfo_t*, void*) {
  constexpr char kMark[] = "global callback ran\n";
  static_cast<void>(::write(STDERR_FILENO, kMark, sizeof(kMark) - 1));
}

struct ChildOptions {
  std::uint32_t configuration = kConfiguration;
  bool chain_previous = false;  // install PreviousHandler for SIGSEGV before the crash handler
};

struct CrashResult {
  pid_t pid = 0;
  int status = 0;
  std::string log;  // the child's standard error
  std::time_t started = 0;
  std::time_t ended = 0;
};

class ExceptionHandlerTest : public ::testing::Test {
 protected:
  // Forks a child that points TMPDIR at dump_dir, installs the handler over default signal
  // actions (so no sanitizer handler is chained) and runs crash.
  CrashResult RunCrashingChild(void (*crash)(), const ChildOptions& options = {}) {
    return RunCrashingChildWithTemp(crash, dump_dir_.path().string(), options);
  }

  CrashResult RunCrashingChildWithTemp(void (*crash)(), const std::string& temp,
                                       const ChildOptions& options) {
    const std::string log_path = (log_dir_.path() / "stderr.txt").string();
    CrashResult result;
    result.started = Now();
    result.pid = ::fork();
    if (result.pid == 0) {
      const int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(log, STDERR_FILENO);
      const rlimit no_core{0, 0};
      ::setrlimit(RLIMIT_CORE, &no_core);
      ::setenv("TMPDIR", temp.c_str(), 1);
      for (const int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS, SIGTRAP}) {
        ::signal(signal, SIG_DFL);
      }
      if (options.chain_previous) {
        ::signal(SIGSEGV, PreviousHandler);
      }
      CExceptionHandlerEx handler(options.configuration);
      if (options.chain_previous) {
        CExceptionHandlerEx::SetGlobalExceptionCallback(GlobalCallback);
      }
      crash();
      ::_exit(3);
    }
    while (::waitpid(result.pid, &result.status, 0) < 0 && errno == EINTR) {
    }
    result.ended = Now();
    result.log = ChildProcess::ReadAll(log_path);
    return result;
  }

  orv::test::TempDir dump_dir_;
  orv::test::TempDir log_dir_;
};

// Checks the one dump's name, mode and streams; returns it parsed.
ParsedDump CheckSingleDump(const fs::path& directory, const CrashResult& result) {
  const std::vector<fs::path> files = FilesIn(directory);
  EXPECT_EQ(files.size(), 1u);
  if (files.size() != 1) {
    return {};
  }
  const std::string name = files[0].filename().string();
  EXPECT_TRUE(orv::test::MatchesMask(name, DumpPrefix() + "##############.mdmp")) << name;
  const std::string stamp = name.substr(DumpPrefix().size(), 14);
  EXPECT_GE(stamp, LocalStamp(result.started));
  EXPECT_LE(stamp, LocalStamp(result.ended));
  EXPECT_EQ(fs::status(files[0]).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_NE(result.log.find("A minidump file is located at: " + files[0].string()),
            std::string::npos)
      << result.log;
  MiniDumpReader reader(MiniDumpReader::ReadFile(files[0].string()));
  ParsedDump dump;
  EXPECT_EQ(reader.Parse(dump), "");
  return dump;
}

TEST_F(ExceptionHandlerTest, NullDereferenceLeavesOneDumpAndDiesOfSegv) {
  const CrashResult result = RunCrashingChild(DereferenceNull);
  ASSERT_TRUE(WIFSIGNALED(result.status)) << result.status << "\n" << result.log;
  EXPECT_EQ(WTERMSIG(result.status), SIGSEGV);

  const ParsedDump dump = CheckSingleDump(dump_dir_.path(), result);
  EXPECT_EQ(dump.flags, 8u);
  EXPECT_EQ(dump.platform, orv::crash::kPlatformLinux);
  EXPECT_EQ(dump.exception_code, 0xC0000005u);
  ASSERT_EQ(dump.exception_parameters.size(), 4u);
  EXPECT_EQ(dump.exception_parameters[0], 1u);  // a write
  EXPECT_EQ(dump.exception_parameters[1], 0u);  // at address 0
  EXPECT_EQ(dump.exception_parameters[2], static_cast<std::uint64_t>(SIGSEGV));
  EXPECT_EQ(dump.process_id, static_cast<std::uint32_t>(result.pid));
  ASSERT_EQ(dump.threads.size(), 1u);
  EXPECT_EQ(dump.threads[0].id, dump.exception_thread);
  EXPECT_GT(dump.threads[0].stack.size, 0u);
#if defined(__x86_64__)
  EXPECT_EQ(dump.architecture, orv::crash::kArchitectureAmd64);
  EXPECT_EQ(dump.context_rip, dump.exception_address);
  EXPECT_GE(dump.context_rsp, dump.threads[0].stack_start);
  EXPECT_LT(dump.context_rsp, dump.threads[0].stack_start + dump.threads[0].stack.size);
#endif
  ASSERT_EQ(dump.memory.size(), 1u);
  EXPECT_EQ(dump.memory[0].first, dump.threads[0].stack_start);
  const auto exe = std::find_if(dump.modules.begin(), dump.modules.end(),
                                [](const auto& module) { return module.name == ExePath(); });
  ASSERT_NE(exe, dump.modules.end());
  EXPECT_GT(exe->size, 0u);
  EXPECT_LE(exe->base, dump.exception_address);  // DereferenceNull is in the test program
  EXPECT_GT(exe->base + exe->size, dump.exception_address);

  const std::string path = (dump_dir_.path() / FilesIn(dump_dir_.path()).at(0).filename()).string();
  const auto begin = result.log.rfind('\n', result.log.find("UNHANDLED_EXCEPTION"));
  const auto end = result.log.find('\n', begin + 1);
  ASSERT_NE(end, std::string::npos);
  EXPECT_TRUE(orv::test::IsLogLine(
      result.log.substr(begin + 1, end - begin - 1), "DEBUG",
      "CExceptionHandlerEx::GenerateMiniDump", "exception_handler.cpp",
      "UNHANDLED_EXCEPTION - (0xC0000005), ACCESS_VIOLATION. A minidump file is located at: " +
          path))
      << result.log;
}

TEST_F(ExceptionHandlerTest, AbortIsDumpedThenReRaised) {
  const CrashResult result = RunCrashingChild(Abort);
  ASSERT_TRUE(WIFSIGNALED(result.status)) << result.log;
  EXPECT_EQ(WTERMSIG(result.status), SIGABRT);
  const ParsedDump dump = CheckSingleDump(dump_dir_.path(), result);
  EXPECT_EQ(dump.exception_code, 0xC0000409u);
  ASSERT_EQ(dump.exception_parameters.size(), 4u);
  EXPECT_EQ(dump.exception_parameters[2], static_cast<std::uint64_t>(SIGABRT));
  EXPECT_NE(result.log.find("UNHANDLED_EXCEPTION - (0xC0000409), ABRT."), std::string::npos)
      << result.log;
}

TEST_F(ExceptionHandlerTest, StackOverflowIsDumpedFromTheAlternateStack) {
  const CrashResult result = RunCrashingChild(OverflowStack);
  ASSERT_TRUE(WIFSIGNALED(result.status)) << result.log;
  EXPECT_EQ(WTERMSIG(result.status), SIGSEGV);
  const ParsedDump dump = CheckSingleDump(dump_dir_.path(), result);
  EXPECT_EQ(dump.exception_code, 0xC00000FDu);
  EXPECT_NE(result.log.find("(0xC00000FD), STACK_OVERFLOW."), std::string::npos) << result.log;
}

TEST_F(ExceptionHandlerTest, OtherThreadWithItsOwnAlternateStackIsDumped) {
  const CrashResult result = RunCrashingChild(OverflowStackOnAnotherThread);
  ASSERT_TRUE(WIFSIGNALED(result.status)) << result.log;
  EXPECT_EQ(WTERMSIG(result.status), SIGSEGV);
  const ParsedDump dump = CheckSingleDump(dump_dir_.path(), result);
  EXPECT_EQ(dump.exception_code, 0xC00000FDu);
  EXPECT_NE(dump.exception_thread, static_cast<std::uint32_t>(result.pid));
  ASSERT_EQ(dump.threads.size(), 1u);
  EXPECT_EQ(dump.threads[0].id, dump.exception_thread);
}

TEST_F(ExceptionHandlerTest, PlantedNamesAreNeverWrittenInto) {
  const CrashResult result = RunCrashingChild(PlantNextDumpNames);
  ASSERT_TRUE(WIFSIGNALED(result.status)) << result.log;
  const std::vector<fs::path> files = FilesIn(dump_dir_.path());
  ASSERT_EQ(files.size(), 6U) << result.log;  // five planted, one dump after them
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(ChildProcess::ReadAll(files[i].string()), "planted");
  }
  MiniDumpReader reader(MiniDumpReader::ReadFile(files[5].string()));
  ParsedDump dump;
  EXPECT_EQ(reader.Parse(dump), "");
}

TEST_F(ExceptionHandlerTest, BreakpointDumpsFollowBit31) {
  const CrashResult skipped = RunCrashingChild(Breakpoint, {.configuration = kNoBreakpointDumps});
  ASSERT_TRUE(WIFSIGNALED(skipped.status)) << skipped.log;
  EXPECT_EQ(WTERMSIG(skipped.status), SIGTRAP);
  EXPECT_TRUE(FilesIn(dump_dir_.path()).empty());
  EXPECT_NE(skipped.log.find("Minidump generation for a Breakpoint exceptions has been disabled"),
            std::string::npos)
      << skipped.log;

  const CrashResult dumped = RunCrashingChild(Breakpoint, {.configuration = 0x00000001});
  ASSERT_TRUE(WIFSIGNALED(dumped.status)) << dumped.log;
  EXPECT_EQ(WTERMSIG(dumped.status), SIGTRAP);
  const ParsedDump dump = CheckSingleDump(dump_dir_.path(), dumped);
  EXPECT_EQ(dump.exception_code, 0x80000003u);
  EXPECT_NE(dumped.log.find("(0x80000003), BREAKPOINT."), std::string::npos) << dumped.log;
}

TEST_F(ExceptionHandlerTest, DumpLevelOtherThanOneOrTwoWritesNothing) {
  for (const std::uint32_t configuration : {0x40000000u, 0x40000003u, 0x4000000Fu}) {
    const CrashResult result = RunCrashingChild(DereferenceNull, {.configuration = configuration});
    ASSERT_TRUE(WIFSIGNALED(result.status)) << result.log;
    EXPECT_EQ(WTERMSIG(result.status), SIGSEGV);
    EXPECT_TRUE(FilesIn(dump_dir_.path()).empty()) << std::hex << configuration;
    EXPECT_NE(result.log.find("MiniDump functionality has been disabled on this system"),
              std::string::npos);
  }
  const CrashResult full = RunCrashingChild(DereferenceNull, {.configuration = 0x40000002});
  EXPECT_EQ(CheckSingleDump(dump_dir_.path(), full).flags, 0x147u);
}

TEST_F(ExceptionHandlerTest, PreviousHandlerAndCallbackRunAfterTheDump) {
  const CrashResult result = RunCrashingChild(DereferenceNull, {.chain_previous = true});
  ASSERT_TRUE(WIFSIGNALED(result.status)) << result.log;
  EXPECT_EQ(WTERMSIG(result.status), SIGSEGV);
  CheckSingleDump(dump_dir_.path(), result);
  const auto dumped = result.log.find("UNHANDLED_EXCEPTION");
  const auto previous = result.log.find("previous handler ran");
  const auto callback = result.log.find("global callback ran");
  ASSERT_NE(dumped, std::string::npos) << result.log;
  ASSERT_NE(previous, std::string::npos) << result.log;
  ASSERT_NE(callback, std::string::npos) << result.log;
  EXPECT_LT(dumped, previous);
  EXPECT_LT(previous, callback);
}

TEST_F(ExceptionHandlerTest, DumpGoesBesideTheExecutableWithoutTempDirectory) {
  const fs::path missing = dump_dir_.path() / "missing";
  const fs::path beside = fs::path(ExePath()).parent_path();
  const auto before = FilesIn(beside);
  const CrashResult result = RunCrashingChildWithTemp(DereferenceNull, missing.string(), {});
  ASSERT_TRUE(WIFSIGNALED(result.status)) << result.log;
  std::vector<fs::path> created;
  for (const fs::path& file : FilesIn(beside)) {
    if (std::find(before.begin(), before.end(), file) == before.end() &&
        file.filename().string().starts_with(DumpPrefix())) {
      created.push_back(file);
    }
  }
  for (const fs::path& file : created) {
    fs::remove(file);
  }
  ASSERT_EQ(created.size(), 1u) << result.log;
  EXPECT_NE(result.log.find("located at: " + created[0].string()), std::string::npos);
}

// A test that installs the handler in the test process itself, with TMPDIR redirected.
class InstalledHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* previous = std::getenv("TMPDIR");
    had_temp_ = previous != nullptr;
    previous_temp_ = had_temp_ ? previous : "";
    ::setenv("TMPDIR", dump_dir_.path().c_str(), 1);
  }
  void TearDown() override {
    if (had_temp_) {
      ::setenv("TMPDIR", previous_temp_.c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }

  void MakeFile(const std::string& name) { std::ofstream(dump_dir_.path() / name) << "x"; }

  orv::test::TempDir dump_dir_;
  bool had_temp_ = false;
  std::string previous_temp_;
};

TEST_F(InstalledHandlerTest, SecondInstanceInstallsNothing) {
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGSEGV, nullptr, &before), 0);
  orv::test::LogCapture log;
  {
    CExceptionHandlerEx first;
    EXPECT_TRUE(first.installed());
    struct sigaction installed {};
    ASSERT_EQ(::sigaction(SIGSEGV, nullptr, &installed), 0);
    EXPECT_NE(installed.sa_sigaction, before.sa_sigaction);
    EXPECT_NE(installed.sa_flags & SA_ONSTACK, 0);

    CExceptionHandlerEx second;
    EXPECT_FALSE(second.installed());
    char name[64];
    std::snprintf(name, sizeof(name), "CExceptionHandlerEx_0x%.8X",
                  static_cast<unsigned>(::getpid()));
    EXPECT_TRUE(log.Has(
        LOG_DEBUG, "CExceptionHandlerEx::InstallGlobalExceptionHandler",
        std::string("CExceptionHandlerEx::InstallGlobalExceptionHandler -                       "
                    "       Mutex lock already exists (") +
            name + ") for this process. Error = 0x00000062"));
  }
  struct sigaction after {};
  ASSERT_EQ(::sigaction(SIGSEGV, nullptr, &after), 0);
  EXPECT_EQ(after.sa_sigaction, before.sa_sigaction);

  CExceptionHandlerEx again;  // the lock went with the first instance
  EXPECT_TRUE(again.installed());
}

TEST_F(InstalledHandlerTest, InstallPrunesToTheConfiguredCount) {
  const std::string prefix = DumpPrefix();
  for (int i = 1; i <= 7; ++i) {
    MakeFile(prefix + "2026010100000" + std::to_string(i) + ".mdmp");
  }
  MakeFile("other_" + CExceptionHandlerEx::VersionText() + "_20250101000000.mdmp");
  MakeFile(prefix + "2025010100000.mdmp");  // thirteen digits: not a dump name
  fs::create_directory(dump_dir_.path() / (prefix + "20200101000000.mdmp"));
  // Planted: far in the future, so it would count as the newest dump if it counted.
  fs::create_symlink(ExePath(), dump_dir_.path() / (prefix + "20990101000000.mdmp"));
  {
    CExceptionHandlerEx handler;
    ASSERT_TRUE(handler.installed());
  }
  std::vector<std::string> names;
  for (const fs::path& file : FilesIn(dump_dir_.path())) {
    names.push_back(file.filename().string());
  }
  std::vector<std::string> expected = {
      "other_" + CExceptionHandlerEx::VersionText() + "_20250101000000.mdmp",
      prefix + "2025010100000.mdmp",
      prefix + "20200101000000.mdmp",
      prefix + "20260101000003.mdmp",
      prefix + "20260101000004.mdmp",
      prefix + "20260101000005.mdmp",
      prefix + "20260101000006.mdmp",
      prefix + "20260101000007.mdmp",
      prefix + "20990101000000.mdmp"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);

  CExceptionHandlerEx keep_two(0x40000021);
  ASSERT_TRUE(keep_two.installed());
  EXPECT_FALSE(fs::exists(dump_dir_.path() / (prefix + "20260101000005.mdmp")));
  EXPECT_TRUE(fs::exists(dump_dir_.path() / (prefix + "20260101000006.mdmp")));
  EXPECT_TRUE(fs::exists(dump_dir_.path() / (prefix + "20260101000007.mdmp")));
}

}  // namespace
