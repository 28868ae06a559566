// What every fuzz target shares: the agent's log lines are noise at millions of inputs a minute.
#pragma once

#include "runtime/logger.h"

namespace orv::fuzz {

// Sends the logger's lines nowhere from the first call on; cheap on every later call.
inline void SilenceLogs() {
  class NullSink final : public ILogSink {
   public:
    void Write(const LogRecord& /*record*/) override {}
  };
  static NullSink sink;
  static ILogSink* const previous = ILogger::SetSink(&sink);
  (void)previous;
}

}  // namespace orv::fuzz
