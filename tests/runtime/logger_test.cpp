#include "runtime/logger.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "runtime/log_limiter.h"
#include "runtime/text.h"
#include "support/log_capture.h"

namespace {

using namespace std::string_literals;

TEST(LoggerTest, ReducesPrettyFunctionToClassAndOperation) {
  const std::pair<const char*, const char*> cases[] = {
      {"OB_STATUSCODE CExporter::Start()", "CExporter::Start"},
      {"void OBRuntime::NetworkMonitor::CNetworkMonitor::Stop(int)", "CNetworkMonitor::Stop"},
      {"int main(int, char**)", "main"},
      {"OB_STATUSCODE CBoundedQueue<T>::Push(T&&) [with T = int]", "CBoundedQueue::Push"},
      {"std::map<int, std::string> ns::Foo::Get(std::pair<int, int>)", "Foo::Get"},
      {"InterfaceInfo::Serialize", "InterfaceInfo::Serialize"},
      {"bool Foo::operator()(int) const", "Foo::operator()"},
  };
  for (const auto& [pretty, qualified] : cases) {
    EXPECT_EQ(ILogger::QualifiedName(pretty), qualified);
  }
}

TEST(LoggerTest, HandsFormattedRecordToSinkWithControlCharactersEscaped) {
  orv::test::LogCapture capture;
  OB_LOG_AS(LOG_WARNING, "CORVAgent::MainThreadProc", "ORVAgent: %s received.\n",
            "ORVShutdownEvent");
  OB_LOG_ERROR("value %d of %u", -5, 7U);
  const std::string long_text(2000, 'x');
  OB_LOG_DEBUG("%s", long_text.c_str());
  EXPECT_TRUE(capture.Has(LOG_WARNING, "CORVAgent::MainThreadProc",
                          "ORVAgent: ORVShutdownEvent received."));
  EXPECT_TRUE(capture.Has(LOG_ERROR,
                          "LoggerTest_HandsFormattedRecordToSinkWithControlCharactersEscaped_Test::"
                          "TestBody",
                          "value -5 of 7"));
  EXPECT_TRUE(capture.Contains(long_text));
  EXPECT_EQ(ILogger::ProgramName(), "oborvagent");
  // Outside text cannot forge a line: control characters are escaped, tabs and the rest kept.
  OB_LOG_DEBUG("image %s", "/tmp/x\n2026-12-06T07:30:00.000Z ERROR Fake::Line f.cpp:1 \x1b[2J");
  EXPECT_TRUE(capture.Contains(
      "image /tmp/x\\n2026-12-06T07:30:00.000Z ERROR Fake::Line f.cpp:1 \\x1b[2J"));
  EXPECT_EQ(OBRuntime::EscapeControlCharacters("\\d\\u \xc3\xa9\t\r\x7f"s + '\0'),
            "\\d\\u \xc3\xa9\t\\r\\x7f\\x00");
}

TEST(LoggerTest, LimiterPassesBurstThenOneLinePerMinuteWithTheHeldBackCount) {
  CLogLimiter limiter;
  const auto start = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
  std::uint64_t suppressed = 99;
  for (std::uint32_t i = 0; i < CLogLimiter::kBurst; ++i) {
    EXPECT_TRUE(limiter.Admit(start, suppressed));
    EXPECT_EQ(suppressed, 0U);
  }
  EXPECT_FALSE(limiter.Admit(start, suppressed));
  EXPECT_FALSE(limiter.Admit(start + std::chrono::seconds(59), suppressed));
  EXPECT_TRUE(limiter.Admit(start + std::chrono::seconds(60), suppressed));
  EXPECT_EQ(suppressed, 2U);
  EXPECT_FALSE(limiter.Admit(start + std::chrono::seconds(61), suppressed));
  EXPECT_TRUE(limiter.Admit(start + std::chrono::seconds(121), suppressed));
  EXPECT_EQ(suppressed, 1U);

  orv::test::LogCapture capture;
  for (int i = 0; i < 100; ++i) {
    OB_LOG_LIMITED(LOG_ERROR, "bad datagram %d", i);
  }
  EXPECT_EQ(capture.Lines().size(), CLogLimiter::kBurst);
}

}  // namespace
