#include "support/log_capture.h"

#include <algorithm>

namespace orv::test {

LogCapture::LogCapture() : previous_(ILogger::SetSink(this)) {}

LogCapture::~LogCapture() { ILogger::SetSink(previous_); }

void LogCapture::Write(const LogRecord& record) {
  const std::lock_guard lock(mutex_);
  lines_.push_back({record.level, std::string(record.function), std::string(record.message)});
}

std::vector<CapturedLine> LogCapture::Lines() const {
  const std::lock_guard lock(mutex_);
  return lines_;
}

std::size_t LogCapture::Count(const std::string& text) const {
  const std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count_if(
      lines_.begin(), lines_.end(),
      [&](const CapturedLine& line) { return line.message.find(text) != std::string::npos; }));
}

bool LogCapture::Has(LOGLEVEL level, const std::string& function,
                     const std::string& message) const {
  const std::lock_guard lock(mutex_);
  return std::any_of(lines_.begin(), lines_.end(), [&](const CapturedLine& line) {
    return line.level == level && line.function == function && line.message == message;
  });
}

}  // namespace orv::test
