// Fuzzes the collector-side IPFIX decoder and its output formats: the input as one datagram to a
// decoder that already knows the agent's templates, then as a stream of datagrams (each preceded
// by a 16-bit length) to one decoder, so templates learned from fuzzed sets meet fuzzed data
// sets. Aborts when a formatted record or problem carries a raw control character, which would
// break a JSON line or reach the terminal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "../export/ipfix_test_messages.h"
#include "export/ipfix_decoder.h"
#include "export/ipfix_decoder_format.h"

namespace {

void CheckPrintable(const std::string& text, bool allow_newlines) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && !(allow_newlines && c == '\n')) || byte == 0x7F) {
      std::abort();
    }
  }
}

void DecodeAndFormat(IpfixDecoder& decoder, std::span<const std::uint8_t> datagram) {
  IpfixMessage message;
  (void)decoder.Decode(datagram, "fuzz", &message);
  for (const IpfixRecord& record : message.records) {
    CheckPrintable(FormatIpfixRecordJson("fuzz", message, record), false);
    CheckPrintable(FormatIpfixRecordTable("fuzz", message, record), true);
  }
  for (const IpfixProblem& problem : message.problems) {
    CheckPrintable(FormatIpfixProblemJson("fuzz", message, problem), false);
    CheckPrintable(FormatIpfixProblemTable("fuzz", message, problem), true);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  {
    IpfixDecoder decoder;
    DecodeAndFormat(decoder, orv::test::AgentTemplateMessage(1));
    DecodeAndFormat(decoder, input);
  }
  IpfixDecoder stream;
  std::span<const std::uint8_t> rest = input;
  while (rest.size() >= 2) {
    const std::size_t length =
        std::min<std::size_t>((static_cast<std::size_t>(rest[0]) << 8) | rest[1], rest.size() - 2);
    DecodeAndFormat(stream, rest.subspan(2, length));
    rest = rest.subspan(2 + length);
  }
  return 0;
}
