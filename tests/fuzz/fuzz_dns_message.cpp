// Fuzzes the DNS readers: arbitrary bytes as one DNS message, and as one IP packet whose payload
// is then read as DNS, as the packet socket does. They must stay inside the buffer
// (AddressSanitizer checks), finish (pointers only go backwards) and keep their bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "driver/dns_message.h"
#include "driver/dns_packet_socket.h"

namespace {

void Read(std::span<const std::uint8_t> bytes) {
  orv::driver::DnsMessage message;
  if (orv::driver::ParseDnsMessage(bytes, message) &&
      (message.question.size() > 253 || message.addresses.size() > orv::driver::kDnsMaxAddresses)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  Read(bytes);
  orv::driver::DnsPacket packet;
  if (orv::driver::ReadIpPacket(bytes, size % 2 == 0, packet)) {
    if (packet.payload.data() < data ||
        packet.payload.data() + packet.payload.size() > data + size) {
      std::abort();
    }
    Read(packet.payload);
  }
  return 0;
}
