// Bounded C-string copy, length and formatting for fixed-size buffers (narrow "A" and wide "W").
//
// Every function writes at most capacity elements into dst and, whenever capacity > 0 and dst is
// not null, leaves dst terminated, also on truncation and on error. A null source counts as "".
// They keep no state and are safe from any thread.
#pragma once

#include <cstddef>

namespace OBRuntime {

// Copies src into dst, truncating to capacity - 1 elements; returns the length of src, so a
// result >= capacity means the copy was truncated (the strlcpy contract). src must be terminated.
std::size_t safe_strlcpyA(char* dst, const char* src, std::size_t capacity) noexcept;
std::size_t safe_strlcpyW(wchar_t* dst, const wchar_t* src, std::size_t capacity) noexcept;

// Number of elements before the terminator, looking at no more than max_length elements; 0 for
// a null text.
[[nodiscard]] std::size_t safe_strnlenA(const char* text, std::size_t max_length) noexcept;
[[nodiscard]] std::size_t safe_strnlenW(const wchar_t* text, std::size_t max_length) noexcept;

// printf-style formatting into dst (the wide form follows swprintf: "%ls" for wide text).
// Returns the number of elements written without the terminator when everything fit;
// kObBufferTooSmall (-9992) when the output was cut to capacity - 1 elements; kObBadArgument
// (-9994) for a null dst or format, capacity 0, or a conversion error (dst then holds "").
// A result is a status: ObSucceeded(result) tells complete output from failure.
[[nodiscard]] int safe_snprintfA(char* dst, std::size_t capacity, const char* format, ...) noexcept
    __attribute__((format(printf, 3, 4)));
[[nodiscard]] int safe_snprintfW(wchar_t* dst, std::size_t capacity, const wchar_t* format,
                                 ...) noexcept;

}  // namespace OBRuntime
