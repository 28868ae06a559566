#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>

#include "crash/dump_files.h"
#include "crash/exception_codes.h"
#include "crash/signal_safe_text.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using orv::crash::SignalSafeText;

TEST(SignalSafeTextTest, FormatsTheCrashMessageConversionsAndTruncates) {
  const struct {
    const char* format;
    std::initializer_list<orv::crash::FormatArgument> arguments;
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
}

// The message layout itself is checked on the handler's own line; here the level out of range
// and a message longer than a line.
TEST(SignalSafeTextTest, CrashLogLineIsCutButKeepsItsNewline) {
  orv::test::TempDir dir;
  const std::string path = (dir.path() / "stderr.txt").string();
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
  orv::crash::WriteCrashLogLine(7, "F::G", "/src/y.cpp", 1, std::string(5000, 'a').c_str());
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  const std::string text = orv::test::ChildProcess::ReadAll(path);
  EXPECT_NE(text.find("Z ERROR F::G y.cpp:1 aaaa"), std::string::npos) << text.substr(0, 80);
  EXPECT_EQ(text.size(), 4095u);
  EXPECT_EQ(text.find('\n'), text.size() - 1);
}

TEST(ExceptionCodesTest, SignalsMapToWindowsCodes) {
  using namespace orv::crash;
  const struct {
    int signal;
    int si_code;
    std::uint64_t fault;
    std::uint64_t stack_pointer;
    std::uint32_t code;
    const char* name;
  } cases[] = {
      {SIGSEGV, SEGV_MAPERR, 0, 0x7fff0000, 0xC0000005, "ACCESS_VIOLATION"},
      {SIGSEGV, SEGV_MAPERR, 0x7ffefff8, 0x7fff0000, 0xC00000FD, "STACK_OVERFLOW"},
      {SIGSEGV, SEGV_MAPERR, 0x7fff0000 - kStackOverflowReach - 1, 0x7fff0000, 0xC0000005,
       "ACCESS_VIOLATION"},
      {SIGSEGV, SEGV_ACCERR, 0x7fff0008, 0x7fff0000, 0xC00000FD, "STACK_OVERFLOW"},
      {SIGSEGV, SEGV_ACCERR, 0x7fff0000 + kStackOverflowReach + 1, 0x7fff0000, 0xC0000005,
       "ACCESS_VIOLATION"},
      {SIGBUS, BUS_ADRERR, 0x1000, 0, 0xC0000006, "IN_PAGE_ERROR"},
      {SIGILL, ILL_ILLOPN, 0, 0, 0xC000001D, "ILLEGAL_INSTRUCTION"},
      {SIGFPE, FPE_INTDIV, 0, 0, 0xC0000094, "INT_DIVIDE_BY_ZERO"},
      {SIGFPE, FPE_INTOVF, 0, 0, 0xC0000095, "INT_OVERFLOW"},
      {SIGFPE, FPE_FLTDIV, 0, 0, 0xC000008E, "FLT_DIVIDE_BY_ZERO"},
      {SIGFPE, FPE_FLTOVF, 0, 0, 0xC0000091, "FLT_OVERFLOW"},
      {SIGFPE, FPE_FLTUND, 0, 0, 0xC0000093, "FLT_UNDERFLOW"},
      {SIGFPE, FPE_FLTRES, 0, 0, 0xC000008F, "FLT_INEXACT_RESULT"},
      {SIGFPE, FPE_FLTSUB, 0, 0, 0xC000008C, "ARRAY_BOUNDS_EXCEEDED"},
      {SIGFPE, SI_USER, 0, 0, 0xC0000090, "FLT_INVALID_OPERATION"},
      {SIGABRT, SI_TKILL, 0, 0, 0xC0000409, "ABRT"},
      {SIGSYS, 1, 0, 0, 0xC000001C, "SYS"},
      {SIGTRAP, SI_KERNEL, 0, 0, 0x80000003, "BREAKPOINT"},
      {SIGUSR1, SI_USER, 0, 0, 0xC000000A, "USR1"},
  };
  for (const auto& c : cases) {
    const std::uint32_t code =
        ExceptionCodeForSignal(c.signal, c.si_code, c.fault, c.stack_pointer);
    EXPECT_EQ(code, c.code) << c.signal << "/" << c.si_code;
    EXPECT_STREQ(ExceptionName(code, c.signal), c.name) << c.signal << "/" << c.si_code;
  }
  EXPECT_STREQ(ExceptionName(0xE06D7363, SIGABRT), "Microsoft Compiler Generated (Q185294)");
  EXPECT_STREQ(ExceptionName(0x12345678, 9999), "UNKNOWN");
}

constexpr const char* kPrefix = "oborvagent_1.2.3_";

TEST(DumpFilesTest, NamesCarryTheLocalTime) {
  std::array<char, 64> path{};
  // 2026-12-06 23:30:05 UTC is 2026-12-07 01:30:05 two hours east.
  ASSERT_TRUE(orv::crash::FormatDumpPath("/tmp/a_1_", 1796599805, 2 * 3600, path));
  EXPECT_STREQ(path.data(), "/tmp/a_1_20261207013005.mdmp");
  ASSERT_TRUE(orv::crash::FormatDumpPath("/tmp/a_1_", 1796599805, -5 * 3600, path));
  EXPECT_STREQ(path.data(), "/tmp/a_1_20261206183005.mdmp");
  std::array<char, 20> small{};
  EXPECT_FALSE(orv::crash::FormatDumpPath("/tmp/a_1_", 0, 0, small));
  EXPECT_EQ(orv::crash::DumpNamePrefix("oborvagent", "1.2.3"), kPrefix);
  EXPECT_FALSE(orv::crash::IsDumpName(std::string(kPrefix) + "20261206101010.dmp0", kPrefix));
}

// A file that cannot be deleted is logged and left behind; pruning goes on with the next one
// and ends.
TEST(DumpFilesTest, PruningLogsWhatItCannotDoAndEnds) {
  orv::test::TempDir dir;
  orv::test::LogCapture log;
  orv::crash::PruneMiniDumpFiles(dir.path().string(), kPrefix, 5);
  EXPECT_TRUE(log.Contains("There are no minidump files matching the search pattern: " +
                           dir.path().string() + "/" + kPrefix + "??????????????.mdmp failed."));
  orv::crash::PruneMiniDumpFiles((dir.path() / "missing").string(), kPrefix, 5);
  EXPECT_TRUE(log.Contains("FindNextFile failed.  Error = 2"));

  for (int day = 1; day <= 4; ++day) {
    std::ofstream(dir.path() / (kPrefix + ("2026120" + std::to_string(day)) + "000000.mdmp"));
  }
  std::vector<std::string> attempts;
  orv::crash::PruneMiniDumpFiles(dir.path().string(), kPrefix, 1, [&](const std::string& path) {
    attempts.push_back(std::filesystem::path(path).filename().string().substr(17, 8));
    return attempts.size() == 1 ? EACCES : 0;
  });
  EXPECT_EQ(attempts, (std::vector<std::string>{"20261201", "20261202", "20261203"}));
  EXPECT_TRUE(log.Has(LOG_WARNING, "CExceptionHandlerEx::PruneMiniDumpFiles",
                      "DeleteFile error 0x0000000D failed to delete " + dir.path().string() + "/" +
                          kPrefix + "20261201000000.mdmp"));
}

}  // namespace
