// The process logger: one line per call on standard error, in UTF-8 whatever the locale.
//
// Line layout: "2026-12-06T07:30:00.123Z DEBUG CExporter::Start exporter.cpp:123 message", written
// with a single write(2) so lines from different threads never interleave. Logging never fails
// for the caller. Tests replace the destination with SetSink to read what was logged.
#pragma once

#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

enum LOGLEVEL : int { LOG_DEBUG = 0, LOG_WARNING = 1, LOG_ERROR = 2 };

// One formatted log call, as handed to a sink.
struct LogRecord {
  LOGLEVEL level;
  std::string_view function;  // qualified "Class::Operation"
  std::string_view file;      // base name of the source file
  int line;
  std::string_view message;  // one trailing newline already removed
};

class ILogSink {
 public:
  virtual ~ILogSink() = default;
  // Called from any thread, serialised against SetSink but not against other Write calls.
  virtual void Write(const LogRecord& record) = 0;
};

class ILogger {
 public:
  // Records the program name; called once by a static initialiser with "oborvagent".
  static void Initialize(const char* name, std::uint32_t version, std::uint32_t flags) noexcept;
  // printf-style; function may be a qualified name or __PRETTY_FUNCTION__ (reduced to its last
  // two scope components, template arguments removed); file may be a full path.
  static void Log(int level, const char* function, const char* file, int line, const char* format,
                  ...) noexcept __attribute__((format(printf, 5, 6)));
  // Replaces the destination (nullptr restores standard error); returns the previous sink.
  // Safe from any thread; waits for calls already inside the old sink to finish.
  static ILogSink* SetSink(ILogSink* sink);
  // The program name given to Initialize.
  static std::string ProgramName();
  // "CExporter::Start" from a __PRETTY_FUNCTION__ text; exposed for its tests.
  static std::string QualifiedName(std::string_view pretty_function);
};

// The text of an errno value for a log line; safe from any thread, unlike strerror.
[[nodiscard]] std::string ErrnoText(int error);
// The errno a netlink error answer's code carries (the code negated); EPROTO for a corrupt
// INT_MIN, which has no negation.
[[nodiscard]] constexpr int NetlinkErrno(int code) noexcept {
  return code == std::numeric_limits<int>::min() ? EPROTO : -code;
}

// The usual way to log: the calling function's qualified name, file and line are filled in.
#define OB_LOG(level, ...) \
  ::ILogger::Log((level), __PRETTY_FUNCTION__, __FILE__, __LINE__, __VA_ARGS__)
#define OB_LOG_DEBUG(...) OB_LOG(LOG_DEBUG, __VA_ARGS__)
#define OB_LOG_WARN(...) OB_LOG(LOG_WARNING, __VA_ARGS__)
#define OB_LOG_ERROR(...) OB_LOG(LOG_ERROR, __VA_ARGS__)
// For messages that must carry another function's name than the caller's.
#define OB_LOG_AS(level, function, ...) \
  ::ILogger::Log((level), (function), __FILE__, __LINE__, __VA_ARGS__)
