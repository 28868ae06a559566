#include "runtime/safe_str.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <new>

#include "common/status.h"

namespace OBRuntime {
namespace {

// Largest scratch buffer tried when measuring wide output that did not fit.
constexpr std::size_t kMaxWideScratch = std::size_t{1} << 20;

template <typename Char>
std::size_t StringLength(const Char* text, std::size_t max_length) {
  std::size_t length = 0;
  while (length < max_length && text[length] != Char{}) {
    ++length;
  }
  return length;
}

template <typename Char>
std::size_t CopyBounded(Char* dst, const Char* src, std::size_t capacity) {
  const std::size_t length = src == nullptr ? 0 : StringLength(src, static_cast<std::size_t>(-1));
  if (dst == nullptr || capacity == 0) {
    return length;
  }
  const std::size_t copied = length < capacity ? length : capacity - 1;
  for (std::size_t i = 0; i < copied; ++i) {
    dst[i] = src[i];
  }
  dst[copied] = Char{};
  return length;
}

// vswprintf reports "did not fit" and "conversion error" alike (-1), so the output is formatted
// again into growing scratch buffers: success there means dst gets its first capacity - 1
// elements and the caller learns it was cut; failure means a conversion error.
int FormatTruncatedWide(wchar_t* dst, std::size_t capacity, const wchar_t* format, va_list args) {
  for (std::size_t size = capacity * 2; size <= kMaxWideScratch; size *= 2) {
    std::unique_ptr<wchar_t[]> scratch;
    try {
      scratch = std::make_unique_for_overwrite<wchar_t[]>(size);
    } catch (const std::bad_alloc&) {
      break;
    }
    va_list copy;
    va_copy(copy, args);
    const int written = std::vswprintf(scratch.get(), size, format, copy);
    va_end(copy);
    if (written >= 0) {
      CopyBounded(dst, scratch.get(), capacity);
      return kObBufferTooSmall;
    }
  }
  dst[0] = L'\0';
  return kObBadArgument;
}

}  // namespace

std::size_t safe_strlcpyA(char* dst, const char* src, std::size_t capacity) noexcept {
  return CopyBounded(dst, src, capacity);
}

std::size_t safe_strlcpyW(wchar_t* dst, const wchar_t* src, std::size_t capacity) noexcept {
  return CopyBounded(dst, src, capacity);
}

std::size_t safe_strnlenA(const char* text, std::size_t max_length) noexcept {
  return text == nullptr ? 0 : StringLength(text, max_length);
}

std::size_t safe_strnlenW(const wchar_t* text, std::size_t max_length) noexcept {
  return text == nullptr ? 0 : StringLength(text, max_length);
}

int safe_snprintfA(char* dst, std::size_t capacity, const char* format, ...) noexcept {
  if (dst == nullptr || capacity == 0) {
    return kObBadArgument;
  }
  dst[0] = '\0';
  if (format == nullptr) {
    return kObBadArgument;
  }
  va_list args;
  va_start(args, format);
  const int needed = std::vsnprintf(dst, capacity, format, args);
  va_end(args);
  if (needed < 0) {
    dst[0] = '\0';
    return kObBadArgument;
  }
  return static_cast<std::size_t>(needed) < capacity ? needed : kObBufferTooSmall;
}

int safe_snprintfW(wchar_t* dst, std::size_t capacity, const wchar_t* format, ...) noexcept {
  if (dst == nullptr || capacity == 0) {
    return kObBadArgument;
  }
  dst[0] = L'\0';
  if (format == nullptr) {
    return kObBadArgument;
  }
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int result = std::vswprintf(dst, capacity, format, copy);
  va_end(copy);
  if (result < 0) {
    result = FormatTruncatedWide(dst, capacity, format, args);
  }
  va_end(args);
  return result;
}

}  // namespace OBRuntime
