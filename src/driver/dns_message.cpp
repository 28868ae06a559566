#include "driver/dns_message.h"

#include <sys/socket.h>

#include <algorithm>
#include <string_view>

namespace orv::driver {

namespace {

constexpr std::size_t kHeaderBytes = 12;
constexpr std::size_t kMaxNameWireBytes = 255;
constexpr std::size_t kMaxLabelBytes = 63;
constexpr std::uint16_t kClassInternet = 1;

std::uint16_t Load16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

std::uint32_t Load32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(Load16(bytes, at)) << 16 | Load16(bytes, at + 2);
}

bool IsNameByte(std::uint8_t byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= '0' && byte <= '9') || byte == '-' || byte == '_';
}

char Lower(std::uint8_t byte) {
  return static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte);
}

// Reads the name at offset into name (lower case, dotted) and moves offset past it.
bool ReadName(std::span<const std::uint8_t> bytes, std::size_t& offset, std::string& name) {
  name.clear();
  std::size_t at = offset;
  std::size_t wire_bytes = 0;
  std::size_t jumps = 0;
  bool jumped = false;
  for (;;) {
    if (at >= bytes.size()) {
      return false;
    }
    const std::uint8_t length = bytes[at];
    if ((length & 0xC0) == 0xC0) {
      if (at + 1 >= bytes.size() || ++jumps > kDnsMaxPointerJumps) {
        return false;
      }
      const std::size_t target = static_cast<std::size_t>(length & 0x3F) << 8 | bytes[at + 1];
      if (target >= at) {  // only backwards, so no loop and no forward reference
        return false;
      }
      if (!jumped) {
        offset = at + 2;
        jumped = true;
      }
      at = target;
      continue;
    }
    if (length > kMaxLabelBytes) {  // 0x40 and 0x80 label types are obsolete or unassigned
      return false;
    }
    wire_bytes += length + 1u;
    if (wire_bytes > kMaxNameWireBytes || at + 1 + length > bytes.size()) {
      return false;
    }
    if (length == 0) {
      if (!jumped) {
        offset = at + 1;
      }
      return true;
    }
    if (!name.empty()) {
      name.push_back('.');
    }
    for (std::size_t i = at + 1; i <= at + length; ++i) {
      if (!IsNameByte(bytes[i])) {
        return false;
      }
      name.push_back(Lower(bytes[i]));
    }
    at += length + 1u;
  }
}

struct Record {
  std::string owner;
  std::uint16_t type = 0;
  std::uint32_t ttl = 0;
  std::string target;  // a CNAME's
  DnsAddress address;  // an A's or AAAA's
};

// Reads one resource record of the answer section; records of other types or classes keep only
// their owner and type.
bool ReadRecord(std::span<const std::uint8_t> bytes, std::size_t& offset, Record& record) {
  if (!ReadName(bytes, offset, record.owner) || offset + 10 > bytes.size()) {
    return false;
  }
  record.type = Load16(bytes, offset);
  const std::uint16_t record_class = Load16(bytes, offset + 2);
  record.ttl = Load32(bytes, offset + 4) & 0x7FFFFFFF;  // a TTL with the top bit set counts as 0
  const std::size_t data_length = Load16(bytes, offset + 8);
  const std::size_t data = offset + 10;
  if (data + data_length > bytes.size()) {
    return false;
  }
  offset = data + data_length;
  if (record_class != kClassInternet) {
    record.type = 0;
    return true;
  }
  switch (record.type) {
    case kDnsTypeA:
    case kDnsTypeAaaa: {
      const std::size_t size = record.type == kDnsTypeA ? 4 : 16;
      if (data_length != size) {
        return false;
      }
      record.address.family = record.type == kDnsTypeA ? AF_INET : AF_INET6;
      std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(data), size,
                  record.address.address.begin());
      record.address.ttl_seconds = record.ttl;
      return true;
    }
    case kDnsTypeCname: {
      std::size_t target = data;
      return ReadName(bytes.first(data + data_length), target, record.target) &&
             target == data + data_length;
    }
    default:
      return true;
  }
}

// The question's addresses: A and AAAA records owned by the question or by a name its CNAME
// chain reaches, each with the smallest TTL on its way.
void CollectAddresses(const std::vector<Record>& records, DnsMessage& out) {
  std::string current = out.question;
  std::uint32_t chain_ttl = UINT32_MAX;
  for (std::size_t link = 0; link <= kDnsMaxChainLength; ++link) {
    const Record* next = nullptr;
    for (const Record& record : records) {
      if (record.owner != current) {
        continue;
      }
      if (record.type == kDnsTypeCname && next == nullptr) {
        next = &record;
      } else if ((record.type == kDnsTypeA || record.type == kDnsTypeAaaa) &&
                 out.addresses.size() < kDnsMaxAddresses) {
        DnsAddress address = record.address;
        address.ttl_seconds = std::min(address.ttl_seconds, chain_ttl);
        out.addresses.push_back(address);
      }
    }
    if (next == nullptr) {
      return;
    }
    current = next->target;
    chain_ttl = std::min(chain_ttl, next->ttl);
  }
}

}  // namespace

bool ParseDnsMessage(std::span<const std::uint8_t> message, DnsMessage& out) {
  out.question.clear();
  out.addresses.clear();
  out.question_type = 0;
  if (message.size() < kHeaderBytes || Load16(message, 4) != 1) {
    return false;
  }
  out.id = Load16(message, 0);
  out.is_response = (message[2] & 0x80) != 0;
  out.response_code = message[3] & 0x0F;
  const std::size_t answers = Load16(message, 6);
  std::size_t offset = kHeaderBytes;
  if (!ReadName(message, offset, out.question) || offset + 4 > message.size() ||
      Load16(message, offset + 2) != kClassInternet) {
    return false;
  }
  out.question_type = Load16(message, offset);
  offset += 4;
  if (!out.is_response) {
    return answers == 0;
  }
  std::vector<Record> records(std::min<std::size_t>(answers, message.size() / 11));
  if (records.size() != answers) {  // each record takes at least 11 bytes
    return false;
  }
  for (Record& record : records) {
    if (!ReadRecord(message, offset, record)) {
      return false;
    }
  }
  CollectAddresses(records, out);
  return true;
}

}  // namespace orv::driver
