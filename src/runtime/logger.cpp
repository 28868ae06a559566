#include "runtime/logger.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "runtime/text.h"

namespace {

struct LoggerState {
  std::shared_mutex sink_mutex;
  ILogSink* sink = nullptr;  // guarded by sink_mutex; null writes to standard error
  std::mutex name_mutex;
  std::string name;  // guarded by name_mutex
};

LoggerState& State() {
  static LoggerState state;
  return state;
}

const bool kLoggerInitialised = (ILogger::Initialize("oborvagent", 1, 0x44010100), true);

constexpr std::array<const char*, 3> kLevelWords = {"DEBUG", "WARN", "ERROR"};

std::string_view BaseName(std::string_view path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void AppendTimestamp(std::string& out) {
  const auto now = std::chrono::system_clock::now();
  const auto seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  std::array<char, 40> text{};
  const int length = std::snprintf(text.data(), text.size(), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                                   utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                                   utc.tm_min, utc.tm_sec, static_cast<int>(millis));
  out.append(text.data(), static_cast<std::size_t>(length));
}

void WriteToStandardError(const LogRecord& record) {
  std::string line;
  line.reserve(96 + record.message.size());
  AppendTimestamp(line);
  line += ' ';
  line += kLevelWords.at(static_cast<std::size_t>(record.level));
  line += ' ';
  line += record.function;
  line += ' ';
  line += record.file;
  line += ':';
  line += std::to_string(record.line);
  line += ' ';
  line += record.message;
  line += '\n';
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

std::string FormatMessage(const char* format, va_list args) {
  std::array<char, 512> stack_buffer{};
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(stack_buffer.data(), stack_buffer.size(), format, copy);
  va_end(copy);
  if (needed < 0) {
    return format;
  }
  if (static_cast<std::size_t>(needed) < stack_buffer.size()) {
    return {stack_buffer.data(), static_cast<std::size_t>(needed)};
  }
  std::vector<char> heap_buffer(static_cast<std::size_t>(needed) + 1);
  va_copy(copy, args);
  std::vsnprintf(heap_buffer.data(), heap_buffer.size(), format, copy);
  va_end(copy);
  return {heap_buffer.data(), static_cast<std::size_t>(needed)};
}

// Removes "<...>" groups so "CBoundedQueue<T>::Push" reads "CBoundedQueue::Push".
std::string_view StripLastTemplateArguments(std::string_view name) {
  if (name.empty() || name.back() != '>') {
    return name;
  }
  int depth = 0;
  for (std::size_t i = name.size(); i-- > 0;) {
    if (name[i] == '>') {
      ++depth;
    } else if (name[i] == '<' && --depth == 0) {
      return name.substr(0, i);
    }
  }
  return name;
}

}  // namespace

std::string ErrnoText(int error) {
  std::array<char, 128> buffer{};
  // The GNU strerror_r returns the text, in buffer or in static storage.
  return strerror_r(error, buffer.data(), buffer.size());
}

void ILogger::Initialize(const char* name, std::uint32_t /*version*/,
                         std::uint32_t /*flags*/) noexcept {
  try {
    auto& state = State();
    const std::lock_guard lock(state.name_mutex);
    state.name = name != nullptr ? name : "";
  } catch (...) {
    // Logging never fails for the caller; the name is only informational.
  }
}

std::string ILogger::ProgramName() {
  auto& state = State();
  const std::lock_guard lock(state.name_mutex);
  return state.name;
}

ILogSink* ILogger::SetSink(ILogSink* sink) {
  auto& state = State();
  const std::unique_lock lock(state.sink_mutex);
  ILogSink* previous = state.sink;
  state.sink = sink;
  return previous;
}

std::string ILogger::QualifiedName(std::string_view pretty) {
  // The parameter list starts at the first '(' outside template brackets, except in "operator()".
  int depth = 0;
  std::size_t open = std::string_view::npos;
  for (std::size_t i = 0; i < pretty.size(); ++i) {
    const char c = pretty[i];
    if (c == '<') {
      ++depth;
    } else if (c == '>' && depth > 0) {
      --depth;
    } else if (c == '(' && depth == 0) {
      if (i >= 8 && pretty.substr(i - 8, 8) == "operator" && pretty.substr(i, 2) == "()") {
        ++i;
        continue;
      }
      open = i;
      break;
    }
  }
  std::string_view head = pretty.substr(0, open);
  // The name is the last space-separated word outside template brackets (after the return type).
  depth = 0;
  for (std::size_t i = head.size(); i-- > 0;) {
    const char c = head[i];
    if (c == '>') {
      ++depth;
    } else if (c == '<' && depth > 0) {
      --depth;
    } else if (c == ' ' && depth == 0) {
      head = head.substr(i + 1);
      break;
    }
  }
  // Keep "Class::Operation": the last two scope components.
  std::size_t components = 0;
  depth = 0;
  for (std::size_t i = head.size(); i-- > 1;) {
    const char c = head[i];
    if (c == '>') {
      ++depth;
    } else if (c == '<' && depth > 0) {
      --depth;
    } else if (depth == 0 && c == ':' && head[i - 1] == ':' && ++components == 2) {
      head = head.substr(i + 1);
      break;
    }
  }
  const auto separator = head.rfind("::");
  if (separator == std::string_view::npos) {
    return std::string(StripLastTemplateArguments(head));
  }
  std::string name(StripLastTemplateArguments(head.substr(0, separator)));
  name += head.substr(separator);
  return name;
}

void ILogger::Log(int level, const char* function, const char* file, int line, const char* format,
                  ...) noexcept {
  if (level < LOG_DEBUG || level > LOG_ERROR) {
    level = LOG_ERROR;
  }
  va_list args;
  va_start(args, format);
  try {
    std::string message = format != nullptr ? FormatMessage(format, args) : std::string();
    if (!message.empty() && message.back() == '\n') {
      message.pop_back();
    }
    // Messages carry outside text (paths, names, profile values): one call stays one line.
    message = OBRuntime::EscapeControlCharacters(message);
    const std::string function_name = QualifiedName(function != nullptr ? function : "");
    const LogRecord record{static_cast<LOGLEVEL>(level), function_name,
                           BaseName(file != nullptr ? file : ""), line, message};
    auto& state = State();
    const std::shared_lock lock(state.sink_mutex);
    if (state.sink != nullptr) {
      state.sink->Write(record);
    } else {
      WriteToStandardError(record);
    }
  } catch (...) {
    // Out of memory or a failing sink: the line is lost, the caller goes on.
  }
  va_end(args);
}
