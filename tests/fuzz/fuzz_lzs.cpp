// Fuzzes CLZS: arbitrary bytes through Decompress (as given, and behind a valid header so the
// bitstream decoder is reached directly), and arbitrary bytes round-tripped through Compress and
// Decompress in place. Aborts when a failed call touched its output or a round trip differs.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "runtime/lzs.h"

namespace {

// Decompresses in place with the given capacity; a failure must leave the buffer as it was.
void DecompressInPlace(OBRuntime::CLZS& lzs, const std::vector<std::uint8_t>& block,
                       std::uint32_t capacity) {
  std::vector<std::uint8_t> buffer = block;
  buffer.resize(std::max<std::size_t>(capacity, block.size()), 0xA5);
  const std::vector<std::uint8_t> before = buffer;
  std::uint32_t length = capacity;
  const OB_STATUSCODE status = lzs.Decompress(
      buffer.data(), static_cast<std::uint32_t>(block.size()), buffer.data(), &length);
  if (status == kObSuccess) {
    if (length > capacity) std::abort();
  } else if (buffer != before) {
    std::abort();
  }
}

void RoundTrip(OBRuntime::CLZS& lzs, const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> buffer(data, data + size);
  buffer.resize(size + size / 8 + 16);
  auto length = static_cast<std::uint32_t>(buffer.size());
  if (lzs.Compress(buffer.data(), static_cast<std::uint32_t>(size), buffer.data(), &length) !=
      kObSuccess) {
    std::abort();
  }
  auto capacity = static_cast<std::uint32_t>(buffer.size());
  if (lzs.Decompress(buffer.data(), length, buffer.data(), &capacity) != kObSuccess ||
      capacity != size || std::memcmp(buffer.data(), data, size) != 0) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orv::fuzz::SilenceLogs();
  static OBRuntime::CLZS lzs;  // reused, as the cache keeps one object warm
  if (size > (1U << 20)) return 0;

  const std::vector<std::uint8_t> raw(data, data + size);
  const std::uint32_t capacity = size == 0 ? 1 : 1 + data[0] * 97U % (size * 32 + 1);
  DecompressInPlace(lzs, raw, capacity);

  std::vector<std::uint8_t> framed = {'L', 'Z', 'S', '1'};
  const auto stated = static_cast<std::uint32_t>(capacity - 1);
  for (int i = 0; i < 4; ++i) framed.push_back(static_cast<std::uint8_t>(stated >> (8 * i)));
  framed.insert(framed.end(), data, data + size);
  DecompressInPlace(lzs, framed, capacity);

  RoundTrip(lzs, data, size);
  return 0;
}
