#include "flow/idn_utils.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "runtime/logger.h"
#include "runtime/text.h"

namespace IDNUtils {
namespace {

// RFC 3492 parameters.
constexpr std::uint32_t kBase = 36;
constexpr std::uint32_t kTMin = 1;
constexpr std::uint32_t kTMax = 26;
constexpr std::uint32_t kSkew = 38;
constexpr std::uint32_t kDamp = 700;
constexpr std::uint32_t kInitialBias = 72;
constexpr std::uint32_t kInitialN = 128;
constexpr std::uint32_t kMaxInt = 0xFFFFFFFF;
constexpr char kDelimiter = '-';
constexpr std::string_view kAcePrefix = "xn--";

std::uint32_t DecodeDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0') + 26;
  if (c >= 'A' && c <= 'Z') return static_cast<std::uint32_t>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<std::uint32_t>(c - 'a');
  return kBase;
}

std::uint32_t Adapt(std::uint32_t delta, std::uint32_t num_points, bool first_time) {
  delta = first_time ? delta / kDamp : delta / 2;
  delta += delta / num_points;
  std::uint32_t k = 0;
  while (delta > ((kBase - kTMin) * kTMax) / 2) {
    delta /= kBase - kTMin;
    k += kBase;
  }
  return k + (kBase - kTMin + 1) * delta / (delta + kSkew);
}

bool HasAcePrefix(std::string_view label) {
  if (label.size() < kAcePrefix.size()) return false;
  for (std::size_t i = 0; i < kAcePrefix.size(); ++i) {
    const char c = label[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kAcePrefix[i]) {
      return false;
    }
  }
  return true;
}

// Decodes one variable-length integer starting at input[*in] into *i (RFC 3492 section 6.2).
OB_STATUSCODE DecodeDelta(const char* input, std::size_t count, std::size_t* in, std::uint32_t bias,
                          std::uint32_t* i) {
  std::uint32_t w = 1;
  for (std::uint32_t k = kBase;; k += kBase) {
    if (*in >= count) return kObBadArgument;
    const std::uint32_t digit = DecodeDigit(input[(*in)++]);
    if (digit >= kBase) return kObBadArgument;
    if (digit > (kMaxInt - *i) / w) return kObOverflow;
    *i += digit * w;
    const std::uint32_t t = k <= bias ? kTMin : k >= bias + kTMax ? kTMax : k - bias;
    if (digit < t) return kObSuccess;
    if (w > kMaxInt / (kBase - t)) return kObOverflow;
    w *= kBase - t;
  }
}

}  // namespace

OB_STATUSCODE punycodeDecode(const char* input, std::size_t count, std::uint32_t* output,
                             std::size_t* output_count) {
  if ((input == nullptr && count > 0) || output == nullptr || output_count == nullptr) {
    return kObBadArgument;
  }
  const std::size_t capacity = std::min(*output_count, kMaxPunycodeOutput);
  std::size_t basic_end = 0;  // position of the last delimiter, 0 when there is none
  for (std::size_t j = 0; j < count; ++j) {
    if (input[j] == kDelimiter) basic_end = j;
  }
  std::size_t out = 0;
  for (; out < basic_end; ++out) {
    if (static_cast<unsigned char>(input[out]) >= 0x80) return kObBadArgument;
    if (out >= capacity) return kObBufferTooSmall;
    output[out] = static_cast<unsigned char>(input[out]);
  }
  std::uint32_t n = kInitialN;
  std::uint32_t i = 0;
  std::uint32_t bias = kInitialBias;
  for (std::size_t in = basic_end > 0 ? basic_end + 1 : 0; in < count; ++out) {
    const std::uint32_t old_i = i;
    const OB_STATUSCODE status = DecodeDelta(input, count, &in, bias, &i);
    if (status != kObSuccess) return status;
    const auto points = static_cast<std::uint32_t>(out + 1);
    bias = Adapt(i - old_i, points, old_i == 0);
    if (i / points > kMaxInt - n) return kObOverflow;
    n += i / points;
    i %= points;
    if (out >= capacity) return kObBufferTooSmall;
    std::copy_backward(output + i, output + out, output + out + 1);
    output[i++] = n;
  }
  *output_count = out;
  return kObSuccess;
}

OB_STATUSCODE convert32BitToUTF16(const std::uint32_t* input, std::size_t count, char16_t* output,
                                  std::size_t* output_count) {
  if (input == nullptr || count == 0 || output == nullptr || output_count == nullptr ||
      *output_count == 0) {
    return kObBadArgument;
  }
  std::size_t written = 0;
  for (std::size_t j = 0; j < count; ++j) {
    const std::uint32_t c = input[j];
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return kObBadArgument;
    if (c < 0x10000) {
      if (written + 1 > *output_count) return kObTextTooLong;
      output[written++] = static_cast<char16_t>(c);
    } else {
      if (written + 2 > *output_count) return kObTextTooLong;
      output[written++] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      output[written++] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  *output_count = written;
  return kObSuccess;
}

OB_STATUSCODE decodeIDNLabel(const char* label, std::size_t length, std::wstring& out) {
  const std::string_view text(label == nullptr ? "" : label, label == nullptr ? 0 : length);
  if (!HasAcePrefix(text)) {
    OBRuntime::Utf8ToWide(text, out);  // into the kept buffer: every flow's host name passes
    return kObSuccess;
  }
  const std::string_view encoded = text.substr(kAcePrefix.size());
  if (encoded.empty() || encoded.size() > kMaxLabelLength - 1) {
    return kObBadArgument;
  }
  std::array<std::uint32_t, kMaxLabelCodePoints> points;
  std::size_t point_count = points.size();
  OB_STATUSCODE status =
      punycodeDecode(encoded.data(), encoded.size(), points.data(), &point_count);
  if (status != kObSuccess) {
    OB_LOG_ERROR("IDNUtils::punycodeDecode failed [%u]", static_cast<unsigned>(status));
    return kObFailure;
  }
  std::array<char16_t, kMaxLabelCodePoints> units;
  std::size_t unit_count = units.size();
  status = convert32BitToUTF16(points.data(), point_count, units.data(), &unit_count);
  if (status != kObSuccess) {
    OB_LOG_ERROR("IDNUtils::convert32BitToUTF16 failed [%u]", static_cast<unsigned>(status));
    return kObFailure;
  }
  out = OBRuntime::Utf16ToWide({units.data(), unit_count});
  return kObSuccess;
}

OB_STATUSCODE DecodeIDN(const char* name, std::size_t length, std::wstring& out) {
  out.clear();
  if (name == nullptr || length == 0) return kObBadArgument;
  if (length > kMaxNameLength) return kObTextTooLong;
  std::size_t out_units = 0;        // the limit counts UTF-16 units, as the exported text does
  thread_local std::wstring label;  // keeps its buffer: every flow's host name passes here
  for (std::size_t start = 0; start <= length;) {
    const char* dot = static_cast<const char*>(std::memchr(name + start, '.', length - start));
    const std::size_t end = dot == nullptr ? length : static_cast<std::size_t>(dot - name);
    if (end - start >= kMaxLabelLength) return kObTextTooLong;
    const OB_STATUSCODE status = decodeIDNLabel(name + start, end - start, label);
    if (status != kObSuccess) {
      OB_LOG_ERROR("IDNUtils::decodeIDNLabel failed [%u]", static_cast<unsigned>(status));
      return kObFailure;
    }
    out_units += OBRuntime::Utf16Length(label);
    if (out_units > kMaxNameLength) return kObTextTooLong;
    out += label;
    if (dot == nullptr) break;
    out += L'.';
    ++out_units;
    start = end + 1;
  }
  return kObSuccess;
}

}  // namespace IDNUtils
