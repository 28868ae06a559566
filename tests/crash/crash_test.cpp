// The crash handler: its parts checked in the test process (exception codes, signal-safe text,
// dump names and pruning, the writer), then crashing children and the handler installed here.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

#include "crash/dump_files.h"
#include "crash/exception_codes.h"
#include "crash/exception_handler.h"
#include "crash/minidump_reader.h"
#include "crash/minidump_writer.h"
#include "crash/signal_safe_text.h"
#include "runtime/agent_thread.h"
#include "runtime/unique_fd.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace orv::crash;
using orv::test::ChildProcess;
using testing::_;
using testing::ElementsAre;
using testing::HasSubstr;

TEST(CrashTextTest, SignalsMapToWindowsCodesAndSignalSafeTextFormatsTruncatesAndCutsTheLine) {
  constexpr std::uint64_t kSp = 0x7fff0000;
  // Signal, its code, fault address; exception code and name.
  const std::tuple<int, int, std::uint64_t, std::uint32_t, const char*> cases[] = {
      {SIGSEGV, SEGV_MAPERR, kSp - 8, 0xC00000FD, "STACK_OVERFLOW"},
      {SIGSEGV, SEGV_MAPERR, kSp - kStackOverflowReach - 1, 0xC0000005, "ACCESS_VIOLATION"},
      // A function that moves the stack pointer first faults above it.
      {SIGSEGV, SEGV_ACCERR, kSp + 8, 0xC00000FD, "STACK_OVERFLOW"},
      {SIGSEGV, SEGV_ACCERR, kSp + kStackOverflowReach + 1, 0xC0000005, "ACCESS_VIOLATION"},
      {SIGBUS, BUS_ADRERR, 0x1000, 0xC0000006, "IN_PAGE_ERROR"},
      {SIGILL, ILL_ILLOPN, 0, 0xC000001D, "ILLEGAL_INSTRUCTION"},
      {SIGFPE, FPE_INTDIV, 0, 0xC0000094, "INT_DIVIDE_BY_ZERO"},
      {SIGFPE, FPE_INTOVF, 0, 0xC0000095, "INT_OVERFLOW"},
      {SIGFPE, FPE_FLTDIV, 0, 0xC000008E, "FLT_DIVIDE_BY_ZERO"},
      {SIGFPE, FPE_FLTOVF, 0, 0xC0000091, "FLT_OVERFLOW"},
      {SIGFPE, FPE_FLTUND, 0, 0xC0000093, "FLT_UNDERFLOW"},
      {SIGFPE, FPE_FLTRES, 0, 0xC000008F, "FLT_INEXACT_RESULT"},
      {SIGFPE, FPE_FLTSUB, 0, 0xC000008C, "ARRAY_BOUNDS_EXCEEDED"},
      {SIGFPE, SI_USER, 0, 0xC0000090, "FLT_INVALID_OPERATION"},
      {SIGABRT, SI_TKILL, 0, 0xC0000409, "ABRT"},
      {SIGSYS, 1, 0, 0xC000001C, "SYS"},
      {SIGTRAP, SI_KERNEL, 0, 0x80000003, "BREAKPOINT"},
      {SIGUSR1, SI_USER, 0, 0xC000000A, "USR1"},
  };
  for (const auto& [signal, si_code, fault, code, name] : cases) {
    EXPECT_EQ(ExceptionCodeForSignal(signal, si_code, fault, kSp), code)
        << signal << "/" << si_code;
    EXPECT_STREQ(ExceptionName(code, signal), name);
  }
  EXPECT_STREQ(ExceptionName(0xE06D7363, SIGABRT), "Microsoft Compiler Generated (Q185294)");
  EXPECT_STREQ(ExceptionName(0x12345678, 9999), "UNKNOWN");

  // The signal-safe text the handler's line is written with.
  const struct {
    const char* format;
    std::initializer_list<FormatArgument> arguments;
    const char* expected;
  } texts[] = {
      {"(0x%.8X), %ls.", {0xC0000005u, "ACCESS_VIOLATION"}, "(0xC0000005), ACCESS_VIOLATION."},
      {"Error = %X", {0x1Fu}, "Error = 1F"},
      {"Error = %X", {0u}, "Error = 0"},
      {"Error = %d", {-12}, "Error = -12"},
      {"%s and %%", {"text"}, "text and %"},
      {"missing %s", {}, "missing %s"},
      {"wrong kind %d", {"text"}, "wrong kind %d"},
      {"unknown %q", {1}, "unknown %q"},
  };
  for (const auto& [format, arguments, expected] : texts) {
    std::array<char, 128> buffer{};
    EXPECT_STREQ(SignalSafeText(buffer).AppendFormat(format, arguments).data(), expected);
  }
  std::array<char, 8> buffer{};
  SignalSafeText text(buffer);
  text.Append("0123").AppendDecimal(456789, 1);
  EXPECT_STREQ(text.data(), "0123456");
  EXPECT_TRUE(text.truncated());

  // The line layout is checked on the handler's own line; here a level out of range and a
  // message longer than a line, which is cut but keeps its newline.
  testing::internal::CaptureStderr();
  WriteCrashLogLine(7, "F::G", "/src/y.cpp", 1, std::string(5000, 'a').c_str());
  const std::string line = testing::internal::GetCapturedStderr();
  EXPECT_NE(line.find("Z ERROR F::G y.cpp:1 aaaa"), std::string::npos) << line.substr(0, 80);
  EXPECT_EQ(line.size(), 4095u);
  EXPECT_EQ(line.find('\n'), line.size() - 1);
}

constexpr const char* kPrefix = "oborvagent_1.2.3_";

TEST(DumpFilesTest, NamesCarryTheLocalTimeAndPruningLogsWhatItCannotDoAndEnds) {
  std::array<char, 64> path{};
  // 2026-12-06 23:30:05 UTC is 2026-12-07 01:30:05 two hours east.
  ASSERT_TRUE(FormatDumpPath("/tmp/a_1_", 1796599805, 2 * 3600, path));
  EXPECT_STREQ(path.data(), "/tmp/a_1_20261207013005.mdmp");
  std::array<char, 20> small{};
  EXPECT_FALSE(FormatDumpPath("/tmp/a_1_", 0, 0, small));
  EXPECT_EQ(DumpNamePrefix("oborvagent", "1.2.3"), kPrefix);
  EXPECT_FALSE(IsDumpName(std::string(kPrefix) + "20261206101010.dmp0", kPrefix));
  // A file that cannot be deleted is logged and left behind; pruning goes on with the next one
  // and ends.
  orv::test::TempDir dir;
  orv::test::LogCapture log;
  PruneMiniDumpFiles(dir.path().string(), kPrefix, 5);
  EXPECT_TRUE(log.Contains("There are no minidump files matching the search pattern: " +
                           dir.path().string() + "/" + kPrefix + "??????????????.mdmp failed."));
  PruneMiniDumpFiles((dir.path() / "missing").string(), kPrefix, 5);
  EXPECT_TRUE(log.Contains("FindNextFile failed.  Error = 2"));

  for (int day = 1; day <= 4; ++day)
    std::ofstream(dir.path() / (kPrefix + ("2026120" + std::to_string(day)) + "000000.mdmp"));
  std::vector<std::string> attempts;
  PruneMiniDumpFiles(dir.path().string(), kPrefix, 1, [&](const std::string& path) {
    attempts.push_back(fs::path(path).filename().string().substr(17, 8));
    return attempts.size() == 1 ? EACCES : 0;
  });
  EXPECT_EQ(attempts, (std::vector<std::string>{"20261201", "20261202", "20261203"}));
  EXPECT_TRUE(log.Has(LOG_WARNING, "CExceptionHandlerEx::PruneMiniDumpFiles",
                      "DeleteFile error 0x0000000D failed to delete " + dir.path().string() + "/" +
                          kPrefix + "20261201000000.mdmp"));
}

TEST(MiniDumpWriterTest, ParsesMapsLinesAndConvertsNamesToUtf16) {
  // Each line as start, end, executable and path; or "rejected".
  const std::pair<std::string, std::string> lines[] = {
      {"55d0c0a00000-55d0c0a18000 r-xp 00002000 08:01 1234    /usr/bin/x y",
       "55d0c0a00000 55d0c0a18000 x /usr/bin/x y"},
      {"7f00-8f00 ---p 00000000 00:00 0", "7f00 8f00 - "},
      {"8f00-7f00 r--p 00000000 00:00 0", "rejected"},  // start after end
      {"7f00-8f00 r--p 00000000 00:00", "rejected"},    // no inode
      {"7f00 8f00 r--p 00000000 00:00 0", "rejected"},
      {"7f00-8f00 r-", "rejected"},
      {"zz-8f00 r--p 00000000 00:00 0", "rejected"},
  };
  for (const auto& [line, expected] : lines) {
    internal::MapsEntry entry;
    char text[128] = "rejected";
    if (internal::ParseMapsLine(line.data(), line.size(), entry))
      std::snprintf(text, sizeof(text), "%lx %lx %c %.*s", entry.start, entry.end,
                    entry.executable ? 'x' : '-', static_cast<int>(entry.path_length), entry.path);
    EXPECT_EQ(text, expected) << line;
  }

  const std::pair<std::string, std::u16string> names[] = {
      {"/a", u"/a"},
      {"\xC3\xA9", u"\u00E9"},
      {"\xE2\x82\xAC", u"\u20AC"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"\xC3", u"\uFFFD"},              // truncated
      {"\xC0\xAF", u"\uFFFD\uFFFD"},    // overlong lead
      {"\xED\xA0\x80", u"\uFFFD"},      // surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD"},  // above U+10FFFF
      {"a\x80z", u"a\uFFFDz"},
  };
  for (const auto& [utf8, utf16] : names) {
    std::u16string out(16, u'\0');
    out.resize(internal::Utf8ToUtf16(utf8.data(), utf8.size(),
                                     reinterpret_cast<std::uint16_t*>(out.data()), out.size()));
    EXPECT_EQ(out, utf16);
  }
  std::uint16_t one[1];
  EXPECT_EQ(internal::Utf8ToUtf16("\xF0\x9F\x98\x80", 4, one, 1), 0u);  // no half pair
}

// Memory is copied through the kernel: a stack pointer outside every mapping gives no stack,
// one into an inaccessible page leaves zeros in the dump, and neither a second fault.
TEST(MiniDumpWriterTest, BadStackPointerLeavesZerosInsteadOfFaulting) {
#if defined(__x86_64__)
  orv::test::TempDir dir;
  const SystemSnapshot system = GatherSystemSnapshot();
  const auto scratch = std::make_unique<MiniDumpScratch>();
  ucontext_t context{};
  ASSERT_EQ(::getcontext(&context), 0);
  siginfo_t info{};
  void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  for (const std::uint64_t stack_pointer :
       {std::uint64_t{0x10}, reinterpret_cast<std::uint64_t>(page) + 2048}) {
    context.uc_mcontext.gregs[REG_RSP] = static_cast<greg_t>(stack_pointer);
    const CrashContext crash{SIGSEGV, &info, &context, 0xC0000005, ::getpid(), ::gettid(), 0, 8};
    const std::string path = (dir.path() / std::to_string(stack_pointer)).string();
    const OBRuntime::UniqueFd file(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
    int error = -1;
    EXPECT_EQ(WriteMiniDump(file.get(), crash, system, *scratch, error), kObSuccess);
    EXPECT_EQ(error, 0);
    const orv::test::ParsedDump dump = orv::test::ReadDump(ChildProcess::ReadAll(path));
    EXPECT_EQ(dump.error, "");
    EXPECT_EQ(dump.stack.empty(), stack_pointer == 0x10);  // no mapping holds it
    EXPECT_EQ(dump.stack, std::string(dump.stack.size(), '\0'));
  }
  ::munmap(page, 4096);
#else
  GTEST_SKIP() << "register layout described for x86-64 only";
#endif
}

std::string ExePath() { return ChildProcess::ImageOf("/proc/self/exe"); }

std::string DumpPrefix() {
  return fs::path(ExePath()).filename().string() + "_" + CExceptionHandlerEx::VersionText() + "_";
}

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

volatile int g_recursion_limit = INT_MAX;  // opaque to the compiler: the recursion is real

__attribute__((no_sanitize("undefined"), noinline)) int Recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  return depth < g_recursion_limit ? Recurse(depth + 1) + frame[0] : 0;
}

void OverflowStack() { static_cast<void>(Recurse(0)); }

// A worker thread started the way the agent starts all of its threads runs off its stack.
void OverflowStackOnAgentThread() { OBRuntime::StartAgentThread(OverflowStack).join(); }

// Someone else has planted files under the names the next seconds' dumps would take, by the
// clock the handler reads (time(2) may lag it by a tick).
void PlantNextDumpNames() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  for (std::time_t second = now; second < now + 5; ++second) {
    std::tm local{};
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%Y%m%d%H%M%S", localtime_r(&second, &local));
    std::ofstream(fs::path(std::getenv("TMPDIR")) / (DumpPrefix() + stamp + ".mdmp")) << "planted";
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
    const int status = orv::test::RunInChild([&] {
      ::dup2(::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
      const rlimit no_core{0, 0};
      ::setrlimit(RLIMIT_CORE, &no_core);
      ::setenv("TMPDIR", temp.c_str(), 1);
      for (const int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS, SIGTRAP})
        ::signal(signal, chain && signal == SIGSEGV ? PreviousHandler : SIG_DFL);
      CExceptionHandlerEx handler(configuration);
      if (chain) CExceptionHandlerEx::SetGlobalExceptionCallback(GlobalCallback);
      crash();
      return 0;
    });
    Crash result{status - 128, ChildProcess::ReadAll(log_path), 0, {}};
    for (const fs::path& file : FilesIn(directory)) {
      const std::string name = file.filename().string();
      if (std::find(before.begin(), before.end(), file) != before.end() ||
          !name.starts_with(DumpPrefix()) || ChildProcess::ReadAll(file) == "planted")
        continue;
      ++result.dumps;
      EXPECT_TRUE(name.size() == DumpPrefix().size() + 19 && name.ends_with(".mdmp")) << name;
      EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
                fs::perms::owner_read | fs::perms::owner_write);
      EXPECT_THAT(result.log, HasSubstr("A minidump file is located at: " + file.string()));
      result.dump = orv::test::ReadDump(ChildProcess::ReadAll(file));
      EXPECT_EQ(result.dump.error, "");
      EXPECT_EQ(result.dump.thread_ids, std::vector<std::uint32_t>{result.dump.exception_thread});
      EXPECT_THAT(result.dump.exception_parameters, ElementsAre(_, _, result.signal, _));
      fs::remove(file);
    }
    return result;
  }

  orv::test::TempDir dump_dir_;
};

TEST_F(ExceptionHandlerTest, NullDereferenceIsDumpedLoggedAndChainedThenDiesOfSegv) {
  const Crash result = RunCrashingChild(DereferenceNull, CExceptionHandlerEx::kDefaultConfiguration,
                                        dump_dir_.path(), dump_dir_.path(), true);
  ASSERT_EQ(std::pair(result.signal, result.dumps), std::pair(SIGSEGV, std::size_t{1}))
      << result.log;
  const orv::test::ParsedDump& dump = result.dump;
  // On the main thread, a write at address 0.
  EXPECT_EQ(
      std::tuple(dump.stream_count, dump.flags, dump.platform, dump.exception_thread,
                 dump.exception_code, dump.exception_parameters[0], dump.exception_parameters[1]),
      std::tuple(6u, 8u, kPlatformLinux, dump.process_id, 0xC0000005u, 1u, 0u));
#if defined(__x86_64__)
  EXPECT_EQ(std::tuple(dump.architecture, dump.context_flags, dump.context_rip),
            std::tuple(kArchitectureAmd64, 0x0010000Fu, dump.exception_address));
  EXPECT_TRUE(dump.context_rsp >= dump.stack_start &&
              dump.context_rsp < dump.stack_start + dump.stack.size());
#endif
  // The captured bytes are the live stack: the faulting frame's local value is in them.
  EXPECT_THAT(dump.stack, HasSubstr(std::string(reinterpret_cast<const char*>(&kStackMarker), 8)));

  // Modules in address order, the test program among them holding the fault, with the build id
  // of its ELF note.
  EXPECT_TRUE(std::ranges::is_sorted(dump.modules, {}, &orv::test::DumpModule::base));
  const auto exe = std::ranges::find(dump.modules, ExePath(), &orv::test::DumpModule::name);
  ASSERT_NE(exe, dump.modules.end());
  EXPECT_TRUE(exe->base <= dump.exception_address && dump.exception_address < exe->end);
  const std::string elf = ChildProcess::ReadAll(ExePath());
  const std::string note("\x04\0\0\0\x14\0\0\0\x03\0\0\0GNU\0", 16);
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
  void (*const trap)() = [] { ::raise(SIGTRAP); };
  // Crash, configuration, TMPDIR (one that does not exist puts the dump beside the executable),
  // the signal the child dies of, exception code (0: no dump), dump flags, log text.
  const std::tuple<void (*)(), std::uint32_t, fs::path, int, std::uint32_t, std::uint64_t,
                   const char*>
      cases[] = {
          {[] { std::abort(); }, kDefault, temp, SIGABRT, 0xC0000409, 8, "(0xC0000409), ABRT."},
          {OverflowStack, kDefault, temp, SIGSEGV, 0xC00000FD, 8, "(0xC00000FD), STACK_OVERFLOW."},
          {OverflowStackOnAgentThread, kDefault, temp, SIGSEGV, 0xC00000FD, 8, "STACK_OVERFLOW."},
          {trap, 0xC0000001, temp, SIGTRAP, 0, 0, "for a Breakpoint exceptions has been disabled"},
          {trap, 0x00000001, temp, SIGTRAP, 0x80000003, 8, "(0x80000003), BREAKPOINT."},
          {DereferenceNull, 0x40000003, temp, SIGSEGV, 0, 0, "functionality has been disabled"},
          {DereferenceNull, 0x40000002, temp, SIGSEGV, 0xC0000005, 0x147, "ACCESS_VIOLATION."},
          {DereferenceNull, kDefault, temp / "missing", SIGSEGV, 0xC0000005, 8, "VIOLATION."},
          {PlantNextDumpNames, kDefault, temp, SIGSEGV, 0xC0000005, 8, "ACCESS_VIOLATION."},
      };
  for (const auto& [crash, configuration, tmp, signal, code, flags, log] : cases) {
    const Crash result = RunCrashingChild(
        crash, configuration, tmp, fs::exists(tmp) ? tmp : fs::path(ExePath()).parent_path());
    EXPECT_EQ(result.signal, signal) << log;
    EXPECT_THAT(result.log, HasSubstr(log));
    ASSERT_EQ(result.dumps, code == 0 ? 0u : 1u) << result.log;
    if (code != 0) {
      EXPECT_EQ(std::tuple(result.dump.exception_code, result.dump.flags,
                           result.dump.process_id == result.dump.exception_thread),
                std::tuple(code, flags, crash != OverflowStackOnAgentThread));
    }
  }
  // The planted files were never opened: the dump took the next free name.
  std::vector<fs::path> planted = FilesIn(temp);
  std::erase(planted, temp / "stderr.txt");
  ASSERT_EQ(planted.size(), 5u);
  for (const fs::path& file : planted) EXPECT_EQ(ChildProcess::ReadAll(file), "planted");
}

// Installs the handler in the test process itself, with TMPDIR redirected: once per process,
// and pruning at install counts only this program's regular dump files.
TEST(InstalledHandlerTest, OnlyOneInstancePerProcessAndInstallPrunes) {
  orv::test::TempDir dump_dir;
  const bool had_temp = std::getenv("TMPDIR") != nullptr;
  const std::string saved_temp = had_temp ? std::getenv("TMPDIR") : "";
  ::setenv("TMPDIR", dump_dir.path().c_str(), 1);
  const auto dump = [&](const std::string& stamp) {
    return dump_dir.path() / (DumpPrefix() + stamp + ".mdmp");
  };
  // Seven dumps, another program's, a thirteen-digit stamp, a directory and a link (far in the
  // future: it would be the newest).
  for (int i = 1; i <= 7; ++i) std::ofstream(dump("2026010100000" + std::to_string(i))) << "x";
  std::ofstream(dump_dir.path() /
                ("other_" + CExceptionHandlerEx::VersionText() + "_20250101000000.mdmp"));
  std::ofstream(dump("2025010100000"));
  fs::create_directory(dump("20200101000000"));
  fs::create_symlink(ExePath(), dump("20990101000000"));

  std::array<struct sigaction, 3> actions{};  // before, while installed, after
  ::sigaction(SIGSEGV, nullptr, &actions[0]);
  orv::test::LogCapture log;
  {
    CExceptionHandlerEx first;
    EXPECT_TRUE(first.installed());
    ::sigaction(SIGSEGV, nullptr, &actions[1]);
    EXPECT_NE(actions[1].sa_sigaction, actions[0].sa_sigaction);
    EXPECT_NE(actions[1].sa_flags & SA_ONSTACK, 0);
    CExceptionHandlerEx second;
    EXPECT_FALSE(second.installed());
    EXPECT_TRUE(log.Contains("Mutex lock already exists (CExceptionHandlerEx_0x"));
  }
  EXPECT_EQ(FilesIn(dump_dir.path()).size(), 9u);  // the two oldest dumps gone
  EXPECT_TRUE(!fs::exists(dump("20260101000002")) && fs::exists(dump("20260101000003")));
  ::sigaction(SIGSEGV, nullptr, &actions[2]);
  EXPECT_EQ(actions[2].sa_sigaction, actions[0].sa_sigaction);

  CExceptionHandlerEx keep_two(0x40000021);  // the lock went with the first instance
  EXPECT_TRUE(keep_two.installed());
  EXPECT_TRUE(!fs::exists(dump("20260101000005")) && fs::exists(dump("20260101000006")));
  EXPECT_TRUE(fs::exists(dump("2025010100000")) && fs::is_symlink(dump("20990101000000")));
  static_cast<void>(had_temp ? ::setenv("TMPDIR", saved_temp.c_str(), 1) : ::unsetenv("TMPDIR"));
}

}  // namespace
