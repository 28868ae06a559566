#include "crash/exception_handler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
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

void Breakpoint() { ::raise(SIGTRAP); }

volatile int g_recursion_limit = INT_MAX;  // opaque to the compiler: the recursion is real

__attribute__((no_sanitize("undefined"), noinline)) int Recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  return depth < g_recursion_limit ? Recurse(depth + 1) + frame[0] : 0;
}

void OverflowStack() { static_cast<void>(Recurse(0)); }

// A worker thread started the way the agent starts all of its threads runs off its stack.
void OverflowStackOnAgentThread() { OBRuntime::StartAgentThread(OverflowStack).join(); }

// Someone else has planted files under the names the next seconds' dumps would take.
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

struct Crash {
  int signal = 0;   // that ended the child
  std::string log;  // the child's standard error
  std::size_t dumps = 0;
  orv::test::ParsedDump dump;  // of the one new dump
};

class ExceptionHandlerTest : public ::testing::Test {
 protected:
  // Runs crash in a child whose TMPDIR is temp, with the handler installed over default signal
  // actions (so no sanitizer handler is chained; with chain, over PreviousHandler and with the
  // callback). Checks the name, mode, log line and parse of a new dump in directory, and removes
  // it.
  Crash RunCrashingChild(void (*crash)(), std::uint32_t configuration, const fs::path& temp,
                         const fs::path& directory, bool chain = false) {
    const std::string log_path = (dump_dir_.path() / "stderr.txt").string();
    const std::vector<fs::path> before = FilesIn(directory);
    const std::time_t started = Now();
    Crash result;
    const int status = orv::test::RunInChild([&] {
      ::dup2(::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
      const rlimit no_core{0, 0};
      ::setrlimit(RLIMIT_CORE, &no_core);
      ::setenv("TMPDIR", temp.c_str(), 1);
      for (const int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS, SIGTRAP}) {
        ::signal(signal, chain && signal == SIGSEGV ? PreviousHandler : SIG_DFL);
      }
      CExceptionHandlerEx handler(configuration);
      if (chain) {
        CExceptionHandlerEx::SetGlobalExceptionCallback(GlobalCallback);
      }
      crash();
      return 0;
    });
    result.signal = status - 128;
    const std::time_t ended = Now();
    result.log = ChildProcess::ReadAll(log_path);
    for (const fs::path& file : FilesIn(directory)) {
      const std::string name = file.filename().string();
      if (std::find(before.begin(), before.end(), file) != before.end() ||
          !name.starts_with(DumpPrefix()) || ChildProcess::ReadAll(file) == "planted") {
        continue;
      }
      ++result.dumps;
      const std::string stamp = name.substr(DumpPrefix().size());
      // Planted names move the stamp on by up to five seconds.
      EXPECT_TRUE(stamp.size() == 19 && stamp.ends_with(".mdmp") && stamp >= LocalStamp(started) &&
                  stamp.substr(0, 14) <= LocalStamp(ended + 5))
          << name;
      EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
                fs::perms::owner_read | fs::perms::owner_write);
      EXPECT_NE(result.log.find("A minidump file is located at: " + file.string()),
                std::string::npos)
          << result.log;
      result.dump = orv::test::ReadDump(ChildProcess::ReadAll(file));
      EXPECT_EQ(result.dump.error, "");
      EXPECT_EQ(result.dump.thread_ids, std::vector<std::uint32_t>{result.dump.exception_thread});
      EXPECT_EQ(result.dump.exception_parameters.size(), 4u);
      EXPECT_EQ(result.dump.exception_parameters.at(2), static_cast<std::uint64_t>(result.signal));
      fs::remove(file);
    }
    return result;
  }

  orv::test::TempDir dump_dir_;
};

TEST_F(ExceptionHandlerTest, NullDereferenceIsDumpedLoggedAndChainedThenDiesOfSegv) {
  const Crash result = RunCrashingChild(DereferenceNull, CExceptionHandlerEx::kDefaultConfiguration,
                                        dump_dir_.path(), dump_dir_.path(), true);
  ASSERT_EQ(result.signal, SIGSEGV) << result.log;
  ASSERT_EQ(result.dumps, 1u);
  const orv::test::ParsedDump& dump = result.dump;
  EXPECT_EQ(dump.stream_count, 6u);
  EXPECT_EQ(dump.flags, 8u);
  EXPECT_EQ(dump.platform, orv::crash::kPlatformLinux);
  EXPECT_EQ(dump.process_id, dump.exception_thread);  // the main thread
  EXPECT_EQ(dump.exception_code, 0xC0000005u);
  EXPECT_EQ(dump.exception_parameters[0], 1u);  // a write
  EXPECT_EQ(dump.exception_parameters[1], 0u);  // at address 0
#if defined(__x86_64__)
  EXPECT_EQ(dump.architecture, orv::crash::kArchitectureAmd64);
  EXPECT_EQ(dump.context_flags, 0x0010000Fu);
  EXPECT_EQ(dump.context_rip, dump.exception_address);
  EXPECT_GE(dump.context_rsp, dump.stack_start);
  EXPECT_LT(dump.context_rsp, dump.stack_start + dump.stack.size());
#endif
  EXPECT_EQ(dump.memory_starts, std::vector<std::uint64_t>{dump.stack_start});
  // The captured bytes are the live stack: the faulting frame's local value is in them.
  EXPECT_NE(dump.stack.find(std::string(reinterpret_cast<const char*>(&kStackMarker), 8)),
            std::string::npos);

  // Modules in address order, the test program among them holding the fault, with the build id
  // of its ELF note.
  for (std::size_t i = 1; i < dump.modules.size(); ++i) {
    EXPECT_LT(dump.modules[i - 1].base, dump.modules[i].base);
  }
  const auto exe = std::find_if(dump.modules.begin(), dump.modules.end(),
                                [](const auto& module) { return module.name == ExePath(); });
  ASSERT_NE(exe, dump.modules.end());
  EXPECT_TRUE(exe->base <= dump.exception_address && dump.exception_address < exe->end);
  const std::string elf = ChildProcess::ReadAll(ExePath());
  const std::string note("\x04\0\0\0\x14\0\0\0\x03\0\0\0GNU\0", 16);
  ASSERT_NE(elf.find(note), std::string::npos);
  EXPECT_EQ(exe->build_id, elf.substr(elf.find(note) + note.size(), 20));

  // The log line operators look for, in the logger's layout; then the previous handler, then
  // the callback.
  const std::regex line(
      R"(\n\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z DEBUG CExceptionHandlerEx::GenerateMiniDump )"
      R"(exception_handler\.cpp:\d+ UNHANDLED_EXCEPTION - \(0xC0000005\), ACCESS_VIOLATION\. )"
      R"(A minidump file is located at: \S+\.mdmp\nprevious handler ran\nglobal callback ran\n)");
  EXPECT_TRUE(std::regex_search("\n" + result.log, line)) << result.log;
}

TEST_F(ExceptionHandlerTest, EachKindOfFaultConfigurationAndDumpDirectory) {
  constexpr std::uint32_t kDefault = CExceptionHandlerEx::kDefaultConfiguration;
  const fs::path temp = dump_dir_.path();
  const struct {
    void (*crash)();
    std::uint32_t configuration;
    fs::path temp;  // TMPDIR; one that does not exist puts the dump beside the executable
    int signal;
    std::uint32_t code;  // 0: no dump
    std::uint64_t flags;
    const char* log;
  } cases[] = {
      {Abort, kDefault, temp, SIGABRT, 0xC0000409, 8, "UNHANDLED_EXCEPTION - (0xC0000409), ABRT."},
      {OverflowStack, kDefault, temp, SIGSEGV, 0xC00000FD, 8, "(0xC00000FD), STACK_OVERFLOW."},
      {OverflowStackOnAgentThread, kDefault, temp, SIGSEGV, 0xC00000FD, 8, "STACK_OVERFLOW."},
      {Breakpoint, 0xC0000001, temp, SIGTRAP, 0, 0,
       "Minidump generation for a Breakpoint exceptions has been disabled"},
      {Breakpoint, 0x00000001, temp, SIGTRAP, 0x80000003, 8, "(0x80000003), BREAKPOINT."},
      {DereferenceNull, 0x40000003, temp, SIGSEGV, 0, 0,
       "MiniDump functionality has been disabled on this system"},
      {DereferenceNull, 0x40000002, temp, SIGSEGV, 0xC0000005, 0x147, "ACCESS_VIOLATION."},
      {DereferenceNull, kDefault, temp / "missing", SIGSEGV, 0xC0000005, 8, "ACCESS_VIOLATION."},
      {PlantNextDumpNames, kDefault, temp, SIGSEGV, 0xC0000005, 8, "ACCESS_VIOLATION."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log);
    const Crash result =
        RunCrashingChild(c.crash, c.configuration, c.temp,
                         fs::exists(c.temp) ? c.temp : fs::path(ExePath()).parent_path());
    EXPECT_EQ(result.signal, c.signal);
    EXPECT_NE(result.log.find(c.log), std::string::npos) << result.log;
    ASSERT_EQ(result.dumps, c.code == 0 ? 0u : 1u) << result.log;
    if (c.code != 0) {
      EXPECT_EQ(result.dump.exception_code, c.code);
      EXPECT_EQ(result.dump.flags, c.flags);
      EXPECT_EQ(result.dump.process_id == result.dump.exception_thread,
                c.crash != OverflowStackOnAgentThread);
    }
  }
  // The planted files were never opened: the dump took the next free name.
  std::vector<fs::path> planted = FilesIn(temp);
  std::erase(planted, temp / "stderr.txt");
  ASSERT_EQ(planted.size(), 5u);
  for (const fs::path& file : planted) {
    EXPECT_EQ(ChildProcess::ReadAll(file), "planted");
  }
}

// Installs the handler in the test process itself, with TMPDIR redirected: once per process,
// and pruning at install counts only this program's regular dump files.
TEST(InstalledHandlerTest, OnlyOneInstancePerProcessAndInstallPrunes) {
  orv::test::TempDir dump_dir;
  const bool had_temp = std::getenv("TMPDIR") != nullptr;
  const std::string saved_temp = had_temp ? std::getenv("TMPDIR") : "";
  ::setenv("TMPDIR", dump_dir.path().c_str(), 1);
  const std::string prefix = DumpPrefix();
  const auto dump = [&](const std::string& stamp) {
    return dump_dir.path() / (prefix + stamp + ".mdmp");
  };
  // Seven dumps, another program's, a thirteen-digit stamp, a directory and a link (far in the
  // future: it would be the newest).
  for (int i = 1; i <= 7; ++i) {
    std::ofstream(dump("2026010100000" + std::to_string(i))) << "x";
  }
  std::ofstream(dump_dir.path() /
                ("other_" + CExceptionHandlerEx::VersionText() + "_20250101000000.mdmp"));
  std::ofstream(dump("2025010100000"));
  fs::create_directory(dump("20200101000000"));
  fs::create_symlink(ExePath(), dump("20990101000000"));

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
    char text[160];
    std::snprintf(text, sizeof(text),
                  "Mutex lock already exists (CExceptionHandlerEx_0x%.8X) for this process. Error "
                  "= 0x00000062",
                  static_cast<unsigned>(::getpid()));
    EXPECT_TRUE(log.Contains(text));
  }
  EXPECT_EQ(FilesIn(dump_dir.path()).size(), 9u);  // the two oldest dumps gone
  EXPECT_FALSE(fs::exists(dump("20260101000002")));
  EXPECT_TRUE(fs::exists(dump("20260101000003")));
  struct sigaction after {};
  ASSERT_EQ(::sigaction(SIGSEGV, nullptr, &after), 0);
  EXPECT_EQ(after.sa_sigaction, before.sa_sigaction);

  CExceptionHandlerEx keep_two(0x40000021);  // the lock went with the first instance
  EXPECT_TRUE(keep_two.installed());
  EXPECT_FALSE(fs::exists(dump("20260101000005")));
  EXPECT_TRUE(fs::exists(dump("20260101000006")));
  EXPECT_TRUE(fs::exists(dump("2025010100000")) && fs::is_symlink(dump("20990101000000")));
  static_cast<void>(had_temp ? ::setenv("TMPDIR", saved_temp.c_str(), 1) : ::unsetenv("TMPDIR"));
}

}  // namespace
