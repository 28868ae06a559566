// Decoding of internationalised host names (the ASCII form the driver reports) into wide text.
//
// Labels beginning "xn--" (any case) are Punycode (RFC 3492) and are decoded; other labels are
// widened as UTF-8. Limits: a name of at most 253 characters, each label shorter than 63, a
// decoded name of at most 253 UTF-16 units. Stateless; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/status.h"

namespace IDNUtils {

inline constexpr std::size_t kMaxNameLength = 253;
// A label of this many characters or more is refused.
inline constexpr std::size_t kMaxLabelLength = 63;
inline constexpr std::size_t kMaxLabelCodePoints = 63;
inline constexpr std::size_t kMaxPunycodeOutput = 256;

// Decodes name[0, length) label by label into out (replaced). kObBadArgument for a null or
// empty name; kObTextTooLong for a name over 253 characters, a label of 63 or more, or a result
// over 253 UTF-16 units; kObFailure (logged) when a label does not decode.
[[nodiscard]] OB_STATUSCODE DecodeIDN(const char* name, std::size_t length, std::wstring& out);

// Decodes one label into out (replaced): Punycode after an "xn--" prefix of 1 to 62 characters
// (else kObBadArgument), anything else widened unchanged. kObFailure (logged) when the Punycode
// or its UTF-16 form is invalid.
[[nodiscard]] OB_STATUSCODE decodeIDNLabel(const char* label, std::size_t length,
                                           std::wstring& out);

// RFC 3492 decoding of input[0, count) into output, whose capacity *output_count (at most 256
// used) becomes the number of code points written. kObBufferTooSmall when they do not fit,
// kObBadArgument for a non-basic character before the last '-', an invalid digit or a truncated
// number, kObOverflow when a value passes 0xFFFFFFFF.
[[nodiscard]] OB_STATUSCODE punycodeDecode(const char* input, std::size_t count,
                                           std::uint32_t* output, std::size_t* output_count);

// UTF-16 form of input[0, count) into output, whose capacity *output_count becomes the number
// of units written. kObBadArgument for empty input or output, a surrogate value or a value above
// 0x10FFFF; kObTextTooLong when the output is too small.
[[nodiscard]] OB_STATUSCODE convert32BitToUTF16(const std::uint32_t* input, std::size_t count,
                                                char16_t* output, std::size_t* output_count);

}  // namespace IDNUtils
