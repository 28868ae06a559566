// Text building for code that runs inside a signal handler: no allocation, no locale, no stdio.
//
// SignalSafeText fills a caller-owned buffer and silently truncates at its capacity (keeping a
// terminator), so a crash-time message can lose its tail but never overruns. WriteCrashLogLine
// writes one line in the process logger's layout straight to standard error with write(2).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace orv::crash {

// A calendar date and time of day, as the dump file name and the log line need it.
struct CivilTime {
  int year;
  int month;  // 1..12
  int day;    // 1..31
  int hour;
  int minute;
  int second;
};

// The calendar time of a count of seconds since 1970-01-01 00:00 (negative counts allowed).
[[nodiscard]] CivilTime CivilFromSeconds(std::int64_t seconds) noexcept;

// One argument of SignalSafeText::AppendFormat: text for "%s"/"%ls", a number otherwise.
struct FormatArgument {
  FormatArgument(const char* text) noexcept : text(text) {}        // NOLINT(runtime/explicit)
  FormatArgument(std::uint64_t value) noexcept : number(value) {}  // NOLINT(runtime/explicit)
  FormatArgument(std::uint32_t value) noexcept : number(value) {}  // NOLINT(runtime/explicit)
  FormatArgument(int value) noexcept                               // NOLINT(runtime/explicit)
      : number(static_cast<std::uint64_t>(static_cast<std::int64_t>(value))) {}

  const char* text = nullptr;
  std::uint64_t number = 0;
};

class SignalSafeText {
 public:
  // Writes into buffer, which must hold at least one byte; the text is always terminated.
  explicit SignalSafeText(std::span<char> buffer) noexcept;

  SignalSafeText& Append(const char* text) noexcept;
  SignalSafeText& Append(const char* text, std::size_t length) noexcept;
  SignalSafeText& AppendChar(char c) noexcept;
  // Decimal digits, left-padded with '0' to at least width digits.
  SignalSafeText& AppendDecimal(std::uint64_t value, int width = 1) noexcept;
  // Eight uppercase hexadecimal digits, as printf's "%.8X".
  // Signed decimal, as printf's "%d".
  SignalSafeText& AppendSigned(std::int64_t value) noexcept;
  // Uppercase hexadecimal without leading zeros, as printf's "%X".
  SignalSafeText& AppendHex(std::uint32_t value) noexcept;
  SignalSafeText& AppendHex8(std::uint32_t value) noexcept;
  // printf-like for the conversions the crash messages use: "%s" and "%ls" (UTF-8 text), "%d",
  // "%X" and "%.8X"; "%%" is a percent sign. A conversion without an argument, or of the wrong
  // kind, is written as it stands.
  SignalSafeText& AppendFormat(const char* format,
                               std::initializer_list<FormatArgument> arguments) noexcept;
  // "2026-12-06T07:30:00.123Z".
  SignalSafeText& AppendUtcTimestamp(std::int64_t seconds, int milliseconds) noexcept;

  [[nodiscard]] const char* data() const noexcept { return buffer_.data(); }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  // True when some appended text did not fit.
  [[nodiscard]] bool truncated() const noexcept { return truncated_; }

 private:
  std::span<char> buffer_;
  std::size_t size_ = 0;
  bool truncated_ = false;
};

// Writes "<UTC time> <LEVEL> <function> <file>:<line> <message>\n" to standard error with one
// write(2), as the process logger lays out its lines; level is 0, 1 or 2 (DEBUG, WARN, ERROR).
// The line is cut at 4 KiB. Async-signal-safe.
void WriteCrashLogLine(int level, const char* function, const char* file, int line,
                       const char* message) noexcept;

}  // namespace orv::crash
