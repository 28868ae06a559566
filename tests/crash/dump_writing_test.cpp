// The parts the crash handler is built from, each checked in the test process: exception codes,
// signal-safe text, dump names and pruning, and the writer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>

#include "crash/dump_files.h"
#include "crash/exception_codes.h"
#include "crash/minidump_reader.h"
#include "crash/minidump_writer.h"
#include "crash/signal_safe_text.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using namespace orv::crash;

TEST(ExceptionCodesTest, SignalsMapToWindowsCodes) {
  constexpr std::uint64_t kSp = 0x7fff0000;
  const struct {
    int signal;
    int si_code;
    std::uint64_t fault;
    std::uint32_t code;
    const char* name;
  } cases[] = {
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
  for (const auto& c : cases) {
    const std::uint32_t code = ExceptionCodeForSignal(c.signal, c.si_code, c.fault, kSp);
    EXPECT_EQ(code, c.code) << c.signal << "/" << c.si_code;
    EXPECT_STREQ(ExceptionName(code, c.signal), c.name) << c.signal << "/" << c.si_code;
  }
  EXPECT_STREQ(ExceptionName(0xE06D7363, SIGABRT), "Microsoft Compiler Generated (Q185294)");
  EXPECT_STREQ(ExceptionName(0x12345678, 9999), "UNKNOWN");
}

TEST(SignalSafeTextTest, FormatsConversionsTruncatesAndCutsTheLogLine) {
  const struct {
    const char* format;
    std::initializer_list<FormatArgument> arguments;
    const char* expected;
  } cases[] = {
      {"(0x%.8X), %ls.", {0xC0000005u, "ACCESS_VIOLATION"}, "(0xC0000005), ACCESS_VIOLATION."},
      {"Error = %X", {0x1Fu}, "Error = 1F"},
      {"Error = %X", {0u}, "Error = 0"},
      {"Error = %d", {-12}, "Error = -12"},
      {"%s and %%", {"text"}, "text and %"},
      {"missing %s", {}, "missing %s"},
      {"wrong kind %d", {"text"}, "wrong kind %d"},
      {"unknown %q", {1}, "unknown %q"},
  };
  for (const auto& c : cases) {
    std::array<char, 128> buffer{};
    EXPECT_STREQ(SignalSafeText(buffer).AppendFormat(c.format, c.arguments).data(), c.expected);
  }
  std::array<char, 8> buffer{};
  SignalSafeText text(buffer);
  text.Append("0123").AppendDecimal(456789, 1);
  EXPECT_STREQ(text.data(), "0123456");
  EXPECT_TRUE(text.truncated());

  // The line layout is checked on the handler's own line; here a level out of range and a
  // message longer than a line, which is cut but keeps its newline.
  orv::test::TempDir dir;
  const std::string path = (dir.path() / "stderr.txt").string();
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
  WriteCrashLogLine(7, "F::G", "/src/y.cpp", 1, std::string(5000, 'a').c_str());
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  const std::string line = orv::test::ChildProcess::ReadAll(path);
  EXPECT_NE(line.find("Z ERROR F::G y.cpp:1 aaaa"), std::string::npos) << line.substr(0, 80);
  EXPECT_EQ(line.size(), 4095u);
  EXPECT_EQ(line.find('\n'), line.size() - 1);
}

constexpr const char* kPrefix = "oborvagent_1.2.3_";

TEST(DumpFilesTest, NamesCarryTheLocalTime) {
  std::array<char, 64> path{};
  // 2026-12-06 23:30:05 UTC is 2026-12-07 01:30:05 two hours east.
  ASSERT_TRUE(FormatDumpPath("/tmp/a_1_", 1796599805, 2 * 3600, path));
  EXPECT_STREQ(path.data(), "/tmp/a_1_20261207013005.mdmp");
  ASSERT_TRUE(FormatDumpPath("/tmp/a_1_", 1796599805, -5 * 3600, path));
  EXPECT_STREQ(path.data(), "/tmp/a_1_20261206183005.mdmp");
  std::array<char, 20> small{};
  EXPECT_FALSE(FormatDumpPath("/tmp/a_1_", 0, 0, small));
  EXPECT_EQ(DumpNamePrefix("oborvagent", "1.2.3"), kPrefix);
  EXPECT_FALSE(IsDumpName(std::string(kPrefix) + "20261206101010.dmp0", kPrefix));
}

// A file that cannot be deleted is logged and left behind; pruning goes on with the next one
// and ends.
TEST(DumpFilesTest, PruningLogsWhatItCannotDoAndEnds) {
  orv::test::TempDir dir;
  orv::test::LogCapture log;
  PruneMiniDumpFiles(dir.path().string(), kPrefix, 5);
  EXPECT_TRUE(log.Contains("There are no minidump files matching the search pattern: " +
                           dir.path().string() + "/" + kPrefix + "??????????????.mdmp failed."));
  PruneMiniDumpFiles((dir.path() / "missing").string(), kPrefix, 5);
  EXPECT_TRUE(log.Contains("FindNextFile failed.  Error = 2"));

  for (int day = 1; day <= 4; ++day) {
    std::ofstream(dir.path() / (kPrefix + ("2026120" + std::to_string(day)) + "000000.mdmp"));
  }
  std::vector<std::string> attempts;
  PruneMiniDumpFiles(dir.path().string(), kPrefix, 1, [&](const std::string& path) {
    attempts.push_back(std::filesystem::path(path).filename().string().substr(17, 8));
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
    if (internal::ParseMapsLine(line.data(), line.size(), entry)) {
      std::snprintf(text, sizeof(text), "%llx %llx %c %.*s",
                    static_cast<unsigned long long>(entry.start),
                    static_cast<unsigned long long>(entry.end), entry.executable ? 'x' : '-',
                    static_cast<int>(entry.path_length), entry.path);
    }
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
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    int error = -1;
    EXPECT_EQ(WriteMiniDump(fd, crash, system, *scratch, error), kObSuccess);
    EXPECT_EQ(error, 0);
    ::close(fd);
    const orv::test::ParsedDump dump = orv::test::ReadDump(orv::test::ChildProcess::ReadAll(path));
    EXPECT_EQ(dump.error, "");
    EXPECT_EQ(dump.stack.empty(), stack_pointer == 0x10);  // no mapping holds it
    EXPECT_EQ(dump.stack, std::string(dump.stack.size(), '\0'));
  }
  ::munmap(page, 4096);
#else
  GTEST_SKIP() << "register layout described for x86-64 only";
#endif
}

}  // namespace
