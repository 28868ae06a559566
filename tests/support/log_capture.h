// Collects what the code under test logs, for the life of the object.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "runtime/logger.h"

namespace orv::test {

struct CapturedLine {
  LOGLEVEL level;
  std::string function;
  std::string message;
};

class LogCapture : public ILogSink {
 public:
  LogCapture();
  ~LogCapture() override;
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // ILogSink
  void Write(const LogRecord& record) override;

  [[nodiscard]] std::vector<CapturedLine> Lines() const;
  // True when some line's message contains the text.
  [[nodiscard]] bool Contains(const std::string& text) const { return Count(text) > 0; }
  // How many lines' messages contain the text.
  [[nodiscard]] std::size_t Count(const std::string& text) const;
  // True when some line at the level, under the function, has exactly this message.
  [[nodiscard]] bool Has(LOGLEVEL level, const std::string& function,
                         const std::string& message) const;

 private:
  mutable std::mutex mutex_;
  std::vector<CapturedLine> lines_;  // guarded by mutex_
  ILogSink* previous_;
};

}  // namespace orv::test
