// Fuzzes bencode decoding: arbitrary bytes as a value of any type and as a statistics
// dictionary. Whatever decodes must encode and decode again to an equal value whose encoding is
// unchanged (canonical after one pass); anything else aborts.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "stats/bencode.h"

namespace {

void CheckRoundTrip(const CBencode& value) {
  CBencodeStream encoded;
  if (!value.Externalize(encoded)) std::abort();
  CBencodeStream reread;
  reread.SetText(encoded.Text());
  const std::unique_ptr<CBencode> again = CBencode::Decode(reread);
  if (again == nullptr || !reread.AtEnd() || !again->Equals(value)) std::abort();
  CBencodeStream reencoded;
  if (!again->Externalize(reencoded) || reencoded.Text() != encoded.Text()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orv::fuzz::SilenceLogs();
  const std::string text(reinterpret_cast<const char*>(data), size);

  CBencodeStream stream;
  stream.SetText(text);
  if (const std::unique_ptr<CBencode> value = CBencode::Decode(stream); value != nullptr) {
    CheckRoundTrip(*value);
  }

  CBencodeDictionary dictionary(true);
  stream.SetText(text);
  if (dictionary.Internalize(stream)) {
    CheckRoundTrip(dictionary);
  } else if (dictionary.Size() != 0) {
    std::abort();  // a failed decode leaves the dictionary empty
  }
  return 0;
}
