#include "crash/signal_safe_text.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <ctime>
#include <string>

#include "crash/exception_codes.h"
#include "crash/text_match.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using orv::crash::CivilFromSeconds;
using orv::crash::SignalSafeText;

TEST(SignalSafeTextTest, CivilTimeAgreesWithGmtime) {
  for (const std::int64_t seconds :
       {std::int64_t{0}, std::int64_t{-1}, std::int64_t{951782400} /* 2000-02-29 */,
        std::int64_t{1796554468}, std::int64_t{4107542399} /* 2100-02-28 23:59:59 */,
        std::int64_t{4107542400}, std::int64_t{-2208988800} /* 1900-01-01 */,
        std::int64_t{253402300799} /* 9999-12-31 23:59:59 */}) {
    const std::time_t value = static_cast<std::time_t>(seconds);
    std::tm expected{};
    ASSERT_NE(gmtime_r(&value, &expected), nullptr);
    const auto actual = CivilFromSeconds(seconds);
    EXPECT_EQ(actual.year, expected.tm_year + 1900) << seconds;
    EXPECT_EQ(actual.month, expected.tm_mon + 1) << seconds;
    EXPECT_EQ(actual.day, expected.tm_mday) << seconds;
    EXPECT_EQ(actual.hour, expected.tm_hour) << seconds;
    EXPECT_EQ(actual.minute, expected.tm_min) << seconds;
    EXPECT_EQ(actual.second, expected.tm_sec) << seconds;
  }
}

TEST(SignalSafeTextTest, FormatsTheCrashMessageConversions) {
  struct Case {
    const char* format;
    std::initializer_list<orv::crash::FormatArgument> arguments;
    const char* expected;
  };
  const Case cases[] = {
      {"(0x%.8X), %ls.", {0xC0000005u, "ACCESS_VIOLATION"}, "(0xC0000005), ACCESS_VIOLATION."},
      {"Error = %X", {0x1Fu}, "Error = 1F"},
      {"Error = %X", {0u}, "Error = 0"},
      {"Error = %d", {-12}, "Error = -12"},
      {"%s and %%", {"text"}, "text and %"},
      {"missing %s", {}, "missing %s"},
      {"wrong kind %d", {"text"}, "wrong kind %d"},
      {"unknown %q", {1}, "unknown %q"},
  };
  for (const Case& c : cases) {
    std::array<char, 128> buffer{};
    SignalSafeText text(buffer);
    text.AppendFormat(c.format, c.arguments);
    EXPECT_STREQ(text.data(), c.expected) << c.format;
  }
}

TEST(SignalSafeTextTest, TruncatesAtCapacityAndStaysTerminated) {
  std::array<char, 8> buffer{};
  SignalSafeText text(buffer);
  text.Append("0123").AppendDecimal(456789, 1);
  EXPECT_STREQ(text.data(), "0123456");
  EXPECT_TRUE(text.truncated());
  std::array<char, 32> padded{};
  EXPECT_STREQ(SignalSafeText(padded).AppendDecimal(7, 4).AppendHex8(0xAB).data(), "0007000000AB");
}

TEST(SignalSafeTextTest, CrashLogLineHasTheLoggerLayout) {
  orv::test::TempDir dir;
  const std::string path = (dir.path() / "stderr.txt").string();
  const int saved = ::dup(STDERR_FILENO);
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(file, 0);
  ::dup2(file, STDERR_FILENO);
  orv::crash::WriteCrashLogLine(0, "CExceptionHandlerEx::GenerateMiniDump", "/src/crash/x.cpp", 42,
                                "message one");
  orv::crash::WriteCrashLogLine(7, "F::G", "y.cpp", 1, std::string(5000, 'a').c_str());
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(file);
  const std::string text = orv::test::ChildProcess::ReadAll(path);
  const auto newline = text.find('\n');
  ASSERT_NE(newline, std::string::npos);
  EXPECT_TRUE(orv::test::IsLogLine(text.substr(0, newline), "DEBUG",
                                   "CExceptionHandlerEx::GenerateMiniDump", "x.cpp", "message one"))
      << text.substr(0, 200);
  const std::string second = text.substr(newline + 1);
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(second.back(), '\n');
  EXPECT_EQ(second.find('\n'), second.size() - 1);
  EXPECT_TRUE(second.find(" ERROR F::G y.cpp:1 aaaa") != std::string::npos) << second.substr(0, 80);
  EXPECT_LT(text.size(), 4096u + 100u);  // the long message was cut, the newline kept
}

TEST(ExceptionCodesTest, SignalsMapToWindowsCodes) {
  using namespace orv::crash;
  struct Case {
    int signal;
    int si_code;
    std::uint64_t fault;
    std::uint64_t stack_pointer;
    std::uint32_t code;
    const char* name;
  };
  const Case cases[] = {
      {SIGSEGV, SEGV_MAPERR, 0, 0x7fff0000, 0xC0000005, "ACCESS_VIOLATION"},
      {SIGSEGV, SEGV_MAPERR, 0x7ffefff8, 0x7fff0000, 0xC00000FD, "STACK_OVERFLOW"},
      {SIGSEGV, SEGV_MAPERR, 0x7fff0000 - kStackOverflowReach - 1, 0x7fff0000, 0xC0000005,
       "ACCESS_VIOLATION"},
      {SIGSEGV, SEGV_ACCERR, 0x7fff0008, 0x7fff0000, 0xC0000005, "ACCESS_VIOLATION"},
      {SIGBUS, BUS_ADRERR, 0x1000, 0, 0xC0000006, "IN_PAGE_ERROR"},
      {SIGILL, ILL_ILLOPN, 0, 0, 0xC000001D, "ILLEGAL_INSTRUCTION"},
      {SIGFPE, FPE_INTDIV, 0, 0, 0xC0000094, "INT_DIVIDE_BY_ZERO"},
      {SIGFPE, FPE_INTOVF, 0, 0, 0xC0000095, "INT_OVERFLOW"},
      {SIGFPE, FPE_FLTDIV, 0, 0, 0xC000008E, "FLT_DIVIDE_BY_ZERO"},
      {SIGFPE, FPE_FLTOVF, 0, 0, 0xC0000091, "FLT_OVERFLOW"},
      {SIGFPE, FPE_FLTUND, 0, 0, 0xC0000093, "FLT_UNDERFLOW"},
      {SIGFPE, FPE_FLTRES, 0, 0, 0xC000008F, "FLT_INEXACT_RESULT"},
      {SIGFPE, FPE_FLTINV, 0, 0, 0xC0000090, "FLT_INVALID_OPERATION"},
      {SIGFPE, FPE_FLTSUB, 0, 0, 0xC000008C, "ARRAY_BOUNDS_EXCEEDED"},
      {SIGFPE, SI_USER, 0, 0, 0xC0000090, "FLT_INVALID_OPERATION"},
      {SIGABRT, SI_TKILL, 0, 0, 0xC0000409, "ABRT"},
      {SIGSYS, 1, 0, 0, 0xC000001C, "SYS"},
      {SIGTRAP, SI_KERNEL, 0, 0, 0x80000003, "BREAKPOINT"},
  };
  for (const Case& c : cases) {
    const std::uint32_t code =
        ExceptionCodeForSignal(c.signal, c.si_code, c.fault, c.stack_pointer);
    EXPECT_EQ(code, c.code) << c.signal << "/" << c.si_code;
    EXPECT_STREQ(ExceptionName(code, c.signal), c.name) << c.signal << "/" << c.si_code;
  }
  EXPECT_STREQ(ExceptionName(0xE06D7363, SIGABRT), "Microsoft Compiler Generated (Q185294)");
  EXPECT_STREQ(ExceptionName(0xC0000096, 0), "PRIV_INSTRUCTION");
  EXPECT_STREQ(ExceptionName(0x12345678, SIGUSR1), "USR1");
  EXPECT_STREQ(ExceptionName(0x12345678, 9999), "UNKNOWN");
}

}  // namespace
