#include "crash/signal_safe_text.h"

#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace orv::crash {
namespace {

constexpr std::array<const char*, 3> kLevelWords = {"DEBUG", "WARN", "ERROR"};
constexpr std::size_t kMaxLogLine = 4096;

const char* BaseName(const char* path) noexcept {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

}  // namespace

// Howard Hinnant's civil_from_days, valid over the whole 64-bit day range this can produce.
CivilTime CivilFromSeconds(std::int64_t seconds) noexcept {
  constexpr std::int64_t kDay = 86400;
  std::int64_t days = seconds / kDay;
  std::int64_t rest = seconds % kDay;
  if (rest < 0) {
    rest += kDay;
    --days;
  }
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t day_of_era = days - era * 146097;
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t month_index = (5 * day_of_year + 2) / 153;
  const std::int64_t day = day_of_year - (153 * month_index + 2) / 5 + 1;
  const std::int64_t month = month_index < 10 ? month_index + 3 : month_index - 9;
  const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  return CivilTime{
      static_cast<int>(year),        static_cast<int>(month),          static_cast<int>(day),
      static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60)};
}

SignalSafeText::SignalSafeText(std::span<char> buffer) noexcept : buffer_(buffer) {
  buffer_[0] = '\0';
}

SignalSafeText& SignalSafeText::Append(const char* text, std::size_t length) noexcept {
  const std::size_t room = buffer_.size() - 1 - size_;
  if (length > room) {
    length = room;
    truncated_ = true;
  }
  std::memcpy(buffer_.data() + size_, text, length);
  size_ += length;
  buffer_[size_] = '\0';
  return *this;
}

SignalSafeText& SignalSafeText::Append(const char* text) noexcept {
  return Append(text, std::strlen(text));
}

SignalSafeText& SignalSafeText::AppendChar(char c) noexcept { return Append(&c, 1); }

SignalSafeText& SignalSafeText::AppendDecimal(std::uint64_t value, int width) noexcept {
  std::array<char, 24> digits{};
  std::size_t count = 0;
  do {
    digits[digits.size() - 1 - count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count < digits.size() && static_cast<int>(count) < width) {
    digits[digits.size() - 1 - count++] = '0';
  }
  return Append(digits.data() + digits.size() - count, count);
}

SignalSafeText& SignalSafeText::AppendHex8(std::uint32_t value) noexcept {
  constexpr const char* kHex = "0123456789ABCDEF";
  std::array<char, 8> digits{};
  for (int i = 7; i >= 0; --i) {
    digits[static_cast<std::size_t>(i)] = kHex[value & 0xF];
    value >>= 4;
  }
  return Append(digits.data(), digits.size());
}

SignalSafeText& SignalSafeText::AppendHex(std::uint32_t value) noexcept {
  int shift = 28;
  while (shift > 0 && ((value >> shift) & 0xF) == 0) {
    shift -= 4;
  }
  for (; shift >= 0; shift -= 4) {
    AppendChar("0123456789ABCDEF"[(value >> shift) & 0xF]);
  }
  return *this;
}

SignalSafeText& SignalSafeText::AppendFormat(
    const char* format, std::initializer_list<FormatArgument> arguments) noexcept {
  constexpr std::array<const char*, 5> kConversions = {"%s", "%ls", "%d", "%X", "%.8X"};
  const FormatArgument* next = arguments.begin();
  const char* p = format;
  while (*p != '\0') {
    if (p[0] == '%' && p[1] == '%') {
      AppendChar('%');
      p += 2;
      continue;
    }
    std::size_t conversion = kConversions.size();
    for (std::size_t i = 0; i < kConversions.size() && *p == '%'; ++i) {
      if (std::strncmp(p, kConversions[i], std::strlen(kConversions[i])) == 0) {
        conversion = i;
      }
    }
    const bool wants_text = conversion <= 1;
    if (conversion == kConversions.size() || next == arguments.end() ||
        wants_text != (next->text != nullptr)) {
      AppendChar(*p++);
      continue;
    }
    const FormatArgument& argument = *next++;
    p += std::strlen(kConversions[conversion]);
    if (wants_text) {
      Append(argument.text);
    } else if (conversion == 2) {
      AppendSigned(static_cast<std::int64_t>(argument.number));
    } else if (conversion == 3) {
      AppendHex(static_cast<std::uint32_t>(argument.number));
    } else {
      AppendHex8(static_cast<std::uint32_t>(argument.number));
    }
  }
  return *this;
}

SignalSafeText& SignalSafeText::AppendSigned(std::int64_t value) noexcept {
  if (value < 0) {
    AppendChar('-');
    return AppendDecimal(0 - static_cast<std::uint64_t>(value));
  }
  return AppendDecimal(static_cast<std::uint64_t>(value));
}

SignalSafeText& SignalSafeText::AppendUtcTimestamp(std::int64_t seconds,
                                                   int milliseconds) noexcept {
  const CivilTime time = CivilFromSeconds(seconds);
  AppendDecimal(static_cast<std::uint64_t>(time.year), 4).AppendChar('-');
  AppendDecimal(static_cast<std::uint64_t>(time.month), 2).AppendChar('-');
  AppendDecimal(static_cast<std::uint64_t>(time.day), 2).AppendChar('T');
  AppendDecimal(static_cast<std::uint64_t>(time.hour), 2).AppendChar(':');
  AppendDecimal(static_cast<std::uint64_t>(time.minute), 2).AppendChar(':');
  AppendDecimal(static_cast<std::uint64_t>(time.second), 2).AppendChar('.');
  return AppendDecimal(static_cast<std::uint64_t>(milliseconds), 3).AppendChar('Z');
}

void WriteCrashLogLine(int level, const char* function, const char* file, int line,
                       const char* message) noexcept {
  std::array<char, kMaxLogLine> buffer{};
  SignalSafeText text(buffer);
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  if (level < 0 || level > 2) {
    level = 2;
  }
  text.AppendUtcTimestamp(now.tv_sec, static_cast<int>(now.tv_nsec / 1000000)).AppendChar(' ');
  text.Append(kLevelWords[static_cast<std::size_t>(level)]).AppendChar(' ');
  text.Append(function).AppendChar(' ').Append(BaseName(file)).AppendChar(':');
  text.AppendDecimal(static_cast<std::uint64_t>(line < 0 ? 0 : line)).AppendChar(' ');
  text.Append(message);
  if (text.truncated() || text.data()[text.size() - 1] != '\n') {
    text.AppendChar('\n');
  }
  // Keep the newline even when the message filled the buffer.
  buffer[text.size() - 1] = '\n';
  const int saved_errno = errno;
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      break;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  errno = saved_errno;
}

}  // namespace orv::crash
