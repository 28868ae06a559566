// Fuzzes the DNS message reader: arbitrary bytes as one message. It must stay inside the buffer
// (AddressSanitizer checks), finish (pointers only go backwards) and keep its bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "driver/dns_message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orv::driver::DnsMessage message;
  if (orv::driver::ParseDnsMessage(std::span(data, size), message) &&
      (message.question.size() > 253 || message.addresses.size() > orv::driver::kDnsMaxAddresses)) {
    std::abort();
  }
  return 0;
}
