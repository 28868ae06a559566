#include "crash/exception_handler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include "crash/minidump_reader.h"
#include "crash/minidump_writer.h"
#include "runtime/agent_thread.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using orv::test::ChildProcess;
using orv::test::ParsedDump;

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
  std::vector<fs::path> files(fs::directory_iterator(directory), fs::directory_iterator{});
  std::sort(files.begin(), files.end());
  return files;
}

constexpr std::uint64_t kStackMarker = 0x1122334455667788;

__attribute__((no_sanitize("undefined"), noinline)) void DereferenceNull() {
  volatile std::uint64_t marker = kStackMarker;  // on the stack the dump captures
  volatile int* volatile pointer = nullptr;
  *pointer = static_cast<int>(marker);
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
  for (std::time_t second = Now(), end = second + 5; second < end; ++second) {
    std::ofstream(fs::path(std::getenv("TMPDIR")) / (DumpPrefix() + LocalStamp(second) + ".mdmp"))
        << "planted";
  }
  DereferenceNull();
}

void Mark(const char* text) { static_cast<void>(::write(STDERR_FILENO, text, std::strlen(text))); }
void PreviousHandler(int) { Mark("previous handler ran\n"); }
void GlobalCallback(int, siginfo_t*, void*) { Mark("global callback ran\n"); }

struct CrashResult {
  pid_t pid = 0;
  int signal = 0;   // that ended the child
  std::string log;  // the child's standard error
  std::time_t started = 0;
  std::time_t ended = 0;
};

class ExceptionHandlerTest : public ::testing::Test {
 protected:
  // Forks a child that points TMPDIR at temp, installs the handler over default signal actions
  // (so no sanitizer handler is chained; with chain, over PreviousHandler and with the callback)
  // and runs crash.
  CrashResult RunCrashingChild(void (*crash)(), std::uint32_t configuration,
                               const std::string& temp, bool chain = false) {
    const std::string log_path = (log_dir_.path() / "stderr.txt").string();
    CrashResult result{::fork(), 0, "", Now(), 0};
    if (result.pid == 0) {
      ::dup2(::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
      const rlimit no_core{0, 0};
      ::setrlimit(RLIMIT_CORE, &no_core);
      ::setenv("TMPDIR", temp.c_str(), 1);
      for (const int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS, SIGTRAP}) {
        ::signal(signal, SIG_DFL);
      }
      if (chain) {
        ::signal(SIGSEGV, PreviousHandler);
      }
      CExceptionHandlerEx handler(configuration);
      if (chain) {
        CExceptionHandlerEx::SetGlobalExceptionCallback(GlobalCallback);
      }
      crash();
      ::_exit(3);
    }
    int status = 0;
    while (::waitpid(result.pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.ended = Now();
    result.log = ChildProcess::ReadAll(log_path);
    return result;
  }

  // Checks the one dump's name, mode, log line and streams; returns it parsed.
  ParsedDump CheckSingleDump(const CrashResult& result) {
    const std::vector<fs::path> files = FilesIn(dump_dir_.path());
    EXPECT_EQ(files.size(), 1u) << result.log;
    if (files.size() != 1) {
      return {};
    }
    const std::string name = files[0].filename().string();
    EXPECT_TRUE(name.starts_with(DumpPrefix()) && name.ends_with(".mdmp")) << name;
    const std::string stamp = name.substr(DumpPrefix().size(), 14);
    EXPECT_GE(stamp, LocalStamp(result.started));
    EXPECT_LE(stamp, LocalStamp(result.ended));
    EXPECT_EQ(fs::status(files[0]).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_NE(result.log.find("A minidump file is located at: " + files[0].string()),
              std::string::npos)
        << result.log;
    ParsedDump dump;
    EXPECT_EQ(orv::test::MiniDumpReader(orv::test::MiniDumpReader::ReadFile(files[0])).Parse(dump),
              "");
    EXPECT_EQ(dump.process_id, static_cast<std::uint32_t>(result.pid));
    EXPECT_EQ(dump.thread_count, 1u);
    EXPECT_EQ(dump.thread_id, dump.exception_thread);
    EXPECT_EQ(dump.exception_parameters.size(), 4u);
    EXPECT_EQ(dump.exception_parameters.at(2), static_cast<std::uint64_t>(result.signal));
    return dump;
  }

  orv::test::TempDir dump_dir_;
  orv::test::TempDir log_dir_;
};

TEST_F(ExceptionHandlerTest, NullDereferenceIsDumpedLoggedAndChainedThenDiesOfSegv) {
  const CrashResult result = RunCrashingChild(
      DereferenceNull, CExceptionHandlerEx::kDefaultConfiguration, dump_dir_.path().string(), true);
  ASSERT_EQ(result.signal, SIGSEGV) << result.log;
  const ParsedDump dump = CheckSingleDump(result);
  EXPECT_EQ(dump.flags, 8u);
  EXPECT_EQ(dump.platform, orv::crash::kPlatformLinux);
  EXPECT_EQ(dump.exception_code, 0xC0000005u);
  EXPECT_EQ(dump.exception_parameters[0], 1u);  // a write
  EXPECT_EQ(dump.exception_parameters[1], 0u);  // at address 0
#if defined(__x86_64__)
  EXPECT_EQ(dump.architecture, orv::crash::kArchitectureAmd64);
  EXPECT_EQ(dump.context_flags, 0x0010000Fu);
  EXPECT_EQ(dump.context_rip, dump.exception_address);
  EXPECT_GE(dump.context_rsp, dump.stack_start);
  EXPECT_LT(dump.context_rsp, dump.stack_start + dump.stack.size);
#endif
  EXPECT_EQ(dump.stream_count, 6u);
  EXPECT_FALSE(dump.system_description.empty());
  EXPECT_EQ(dump.memory_starts, std::vector<std::uint64_t>{dump.stack_start});
  // The captured bytes are the live stack: the faulting frame's local value is in them.
  const std::string bytes = ChildProcess::ReadAll(FilesIn(dump_dir_.path()).at(0));
  const std::string marker(reinterpret_cast<const char*>(&kStackMarker), sizeof(kStackMarker));
  EXPECT_NE(bytes.substr(dump.stack.rva, dump.stack.size).find(marker), std::string::npos);

  // Modules in address order, the test program among them holding the fault, with the build id
  // of its ELF note.
  for (std::size_t i = 1; i < dump.modules.size(); ++i) {
    EXPECT_LT(dump.modules[i - 1].base, dump.modules[i].base);
  }
  const auto exe = std::find_if(dump.modules.begin(), dump.modules.end(),
                                [](const auto& module) { return module.name == ExePath(); });
  ASSERT_NE(exe, dump.modules.end());
  EXPECT_LE(exe->base, dump.exception_address);
  EXPECT_GT(exe->base + exe->size, dump.exception_address);
  const std::string elf = ChildProcess::ReadAll(ExePath());
  const std::string note("\x04\0\0\0\x14\0\0\0\x03\0\0\0GNU\0", 16);
  ASSERT_NE(elf.find(note), std::string::npos);
  EXPECT_EQ(std::string(exe->build_id.begin(), exe->build_id.end()),
            elf.substr(elf.find(note) + note.size(), 20));

  // The log line operators look for, in the logger's layout; then the previous handler, then
  // the callback.
  const std::regex line(
      R"(\n\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z DEBUG CExceptionHandlerEx::GenerateMiniDump )"
      R"(exception_handler\.cpp:\d+ UNHANDLED_EXCEPTION - \(0xC0000005\), ACCESS_VIOLATION\. )"
      R"(A minidump file is located at: \S+\.mdmp\nprevious handler ran\nglobal callback ran\n)");
  EXPECT_TRUE(std::regex_search("\n" + result.log, line)) << result.log;
}

TEST_F(ExceptionHandlerTest, EachKindOfFaultAndConfiguration) {
  constexpr std::uint32_t kDefault = CExceptionHandlerEx::kDefaultConfiguration;
  const struct {
    void (*crash)();
    std::uint32_t configuration;
    int signal;
    std::uint32_t code;  // 0: no dump
    std::uint64_t flags;
    const char* log;
  } cases[] = {
      {Abort, kDefault, SIGABRT, 0xC0000409, 8, "UNHANDLED_EXCEPTION - (0xC0000409), ABRT."},
      {OverflowStack, kDefault, SIGSEGV, 0xC00000FD, 8, "(0xC00000FD), STACK_OVERFLOW."},
      {OverflowStackOnAnotherThread, kDefault, SIGSEGV, 0xC00000FD, 8, "STACK_OVERFLOW."},
      {Breakpoint, 0xC0000001, SIGTRAP, 0, 0,
       "Minidump generation for a Breakpoint exceptions has been disabled"},
      {Breakpoint, 0x00000001, SIGTRAP, 0x80000003, 8, "(0x80000003), BREAKPOINT."},
      {DereferenceNull, 0x40000003, SIGSEGV, 0, 0,
       "MiniDump functionality has been disabled on this system"},
      {DereferenceNull, 0x40000002, SIGSEGV, 0xC0000005, 0x147, "ACCESS_VIOLATION."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log);
    const CrashResult result =
        RunCrashingChild(c.crash, c.configuration, dump_dir_.path().string());
    EXPECT_EQ(result.signal, c.signal);
    EXPECT_NE(result.log.find(c.log), std::string::npos) << result.log;
    if (c.code == 0) {
      EXPECT_TRUE(FilesIn(dump_dir_.path()).empty());
      continue;
    }
    const ParsedDump dump = CheckSingleDump(result);
    EXPECT_EQ(dump.exception_code, c.code);
    EXPECT_EQ(dump.flags, c.flags);
    if (c.crash == OverflowStackOnAnotherThread) {
      EXPECT_NE(dump.exception_thread, static_cast<std::uint32_t>(result.pid));
    }
    for (const fs::path& file : FilesIn(dump_dir_.path())) {
      fs::remove(file);
    }
  }
}

TEST_F(ExceptionHandlerTest, PlantedNamesAreNeverWrittenInto) {
  const CrashResult result = RunCrashingChild(
      PlantNextDumpNames, CExceptionHandlerEx::kDefaultConfiguration, dump_dir_.path().string());
  const std::vector<fs::path> files = FilesIn(dump_dir_.path());
  ASSERT_EQ(files.size(), 6U) << result.log;  // five planted, one dump after them
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(ChildProcess::ReadAll(files[i].string()), "planted");
  }
  ParsedDump dump;
  EXPECT_EQ(orv::test::MiniDumpReader(orv::test::MiniDumpReader::ReadFile(files[5])).Parse(dump),
            "");
}

TEST_F(ExceptionHandlerTest, DumpGoesBesideTheExecutableWithoutTempDirectory) {
  const fs::path beside = fs::path(ExePath()).parent_path();
  const auto before = FilesIn(beside);
  const CrashResult result =
      RunCrashingChild(DereferenceNull, CExceptionHandlerEx::kDefaultConfiguration,
                       (dump_dir_.path() / "missing").string());
  std::vector<fs::path> created;
  for (const fs::path& file : FilesIn(beside)) {
    if (std::find(before.begin(), before.end(), file) == before.end() &&
        file.filename().string().starts_with(DumpPrefix())) {
      created.push_back(file);
      fs::remove(file);
    }
  }
  ASSERT_EQ(created.size(), 1u) << result.log;
  EXPECT_NE(result.log.find("located at: " + created[0].string()), std::string::npos);
}

// Installs the handler in the test process itself, with TMPDIR redirected: once per process,
// and pruning at install counts only this program's regular dump files.
TEST(InstalledHandlerTest, OnlyOneInstancePerProcessAndInstallPrunes) {
  orv::test::TempDir dump_dir;
  const char* previous_temp = std::getenv("TMPDIR");
  const std::string saved_temp = previous_temp != nullptr ? previous_temp : "";
  ::setenv("TMPDIR", dump_dir.path().c_str(), 1);
  const std::string prefix = DumpPrefix();
  std::vector<std::string> kept = {
      "other_" + CExceptionHandlerEx::VersionText() + "_20250101000000.mdmp",
      prefix + "2025010100000.mdmp"};  // thirteen digits
  for (int i = 1; i <= 7; ++i) {
    const std::string name = prefix + "2026010100000" + std::to_string(i) + ".mdmp";
    std::ofstream(dump_dir.path() / name) << "x";
    if (i > 2) {
      kept.push_back(name);
    }
  }
  for (const std::string& name : kept) {
    std::ofstream(dump_dir.path() / name) << "x";
  }
  // Neither a directory nor a link (far in the future: it would be the newest) counts.
  kept.push_back(prefix + "20200101000000.mdmp");
  fs::create_directory(dump_dir.path() / kept.back());
  kept.push_back(prefix + "20990101000000.mdmp");
  fs::create_symlink(ExePath(), dump_dir.path() / kept.back());

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
    char name[160];
    std::snprintf(name, sizeof(name),
                  "Mutex lock already exists (CExceptionHandlerEx_0x%.8X) for "
                  "this process. Error = 0x00000062",
                  static_cast<unsigned>(::getpid()));
    EXPECT_TRUE(log.Contains(name));
  }
  std::vector<std::string> names;
  for (const fs::path& file : FilesIn(dump_dir.path())) {
    names.push_back(file.filename().string());
  }
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(names, kept);
  struct sigaction after {};
  ASSERT_EQ(::sigaction(SIGSEGV, nullptr, &after), 0);
  EXPECT_EQ(after.sa_sigaction, before.sa_sigaction);

  CExceptionHandlerEx keep_two(0x40000021);  // the lock went with the first instance
  EXPECT_TRUE(keep_two.installed());
  EXPECT_FALSE(fs::exists(dump_dir.path() / (prefix + "20260101000005.mdmp")));
  EXPECT_TRUE(fs::exists(dump_dir.path() / (prefix + "20260101000006.mdmp")));
  if (previous_temp != nullptr) {
    ::setenv("TMPDIR", saved_temp.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
}

}  // namespace
