// Hand-built IPFIX messages in the agent's layout (templates 262, 266, 267, 268 under
// enterprise 9, observation domain 127), written byte by byte here rather than with the agent's
// encoder, so decoder and interoperability tests do not share the encoder's assumptions.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace orv::test {

class IpfixMessageBuilder {
 public:
  explicit IpfixMessageBuilder(std::uint32_t sequence, std::uint32_t domain = 127) {
    U16(10);
    U16(0);  // length, set by Finish
    U32(1'700'000'000);
    U32(sequence);
    U32(domain);
  }
  IpfixMessageBuilder& U8(std::uint64_t value) { return Big(value, 1); }
  IpfixMessageBuilder& U16(std::uint64_t value) { return Big(value, 2); }
  IpfixMessageBuilder& U32(std::uint64_t value) { return Big(value, 4); }
  IpfixMessageBuilder& U64(std::uint64_t value) { return Big(value, 8); }
  IpfixMessageBuilder& Raw(const std::vector<std::uint8_t>& raw) {
    bytes_.insert(bytes_.end(), raw.begin(), raw.end());
    return *this;
  }
  IpfixMessageBuilder& Repeat(std::uint8_t byte, std::size_t count) {
    bytes_.insert(bytes_.end(), count, byte);
    return *this;
  }
  // RFC 7011 variable-length text: short form below 255 bytes, else 255 and a 16-bit length.
  IpfixMessageBuilder& Text(const std::string& text) {
    if (text.size() < 255) {
      U8(text.size());
    } else {
      U8(255).U16(text.size());
    }
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }
  // A basicList of enterprise-9 element item_id in the three-byte length form; items are texts
  // (item_length 0xFFFF) or raw bytes of item_length each.
  IpfixMessageBuilder& List(std::uint16_t item_id, std::uint16_t item_length,
                            const std::vector<std::string>& items) {
    IpfixMessageBuilder body(0);
    body.bytes_.clear();
    body.U8(3).U16(0x8000 | item_id).U16(item_length).U32(9);
    for (const std::string& item : items) {
      if (item_length == 0xFFFF) {
        body.Text(item);
      } else {
        body.bytes_.insert(body.bytes_.end(), item.begin(), item.end());
      }
    }
    U8(255).U16(body.bytes_.size());
    return Raw(body.bytes_);
  }
  IpfixMessageBuilder& BeginSet(std::uint16_t id) {
    set_start_ = bytes_.size();
    return U16(id).U16(0);
  }
  IpfixMessageBuilder& EndSet() {
    Patch(set_start_ + 2, bytes_.size() - set_start_);
    return *this;
  }
  // Field specifier: IANA when enterprise is 0.
  IpfixMessageBuilder& Field(std::uint16_t id, std::uint16_t length, std::uint32_t enterprise = 0) {
    if (enterprise == 0) {
      return U16(id).U16(length);
    }
    return U16(0x8000 | id).U16(length).U32(enterprise);
  }
  [[nodiscard]] std::vector<std::uint8_t> Finish() {
    Patch(2, bytes_.size());
    return bytes_;
  }

 private:
  IpfixMessageBuilder& Big(std::uint64_t value, int width) {
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8) {
      bytes_.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    return *this;
  }
  void Patch(std::size_t at, std::size_t value) {
    bytes_[at] = static_cast<std::uint8_t>(value >> 8);
    bytes_[at + 1] = static_cast<std::uint8_t>(value);
  }

  std::vector<std::uint8_t> bytes_;
  std::size_t set_start_ = 0;
};

inline constexpr std::uint16_t kVar = 0xFFFF;
inline constexpr std::uint32_t kPen = 9;

// The template message of the agent: 262, 267, 268, 266 in one set.
inline std::vector<std::uint8_t> AgentTemplateMessage(std::uint32_t sequence) {
  IpfixMessageBuilder m(sequence);
  m.BeginSet(2);
  m.U16(262).U16(7).Field(350, kVar).Field(12332, 20, kPen).Field(12334, kVar, kPen);
  m.Field(12335, kVar, kPen).Field(12351, kVar, kPen).Field(12336, kVar, kPen);
  m.Field(12337, kVar, kPen);
  for (const bool v6 : {false, true}) {
    m.U16(v6 ? 268 : 267).U16(25).Field(4, 1).Field(v6 ? 27 : 8, v6 ? 16 : 4).Field(7, 2);
    m.Field(v6 ? 28 : 12, v6 ? 16 : 4).Field(11, 2).Field(150, 4).Field(151, 4);
    m.Field(12332, 20, kPen).Field(12333, kVar, kPen).Field(12361, 2, kPen);
    m.Field(12338, kVar, kPen).Field(12362, 2, kPen).Field(12340, kVar, kPen);
    m.Field(12341, 32, kPen).Field(12339, kVar, kPen).Field(12363, 2, kPen);
    m.Field(12342, kVar, kPen).Field(12343, 32, kPen).Field(12346, 8, kPen);
    m.Field(12347, 8, kPen).Field(12344, kVar, kPen).Field(12345, kVar, kPen);
    m.Field(12355, 4, kPen).Field(12352, kVar, kPen).Field(12353, kVar, kPen);
  }
  m.U16(266).U16(7).Field(12332, 20, kPen).Field(12355, 4, kPen).Field(12356, 4, kPen);
  m.Field(12357, 1, kPen).Field(12358, kVar, kPen).Field(12359, kVar, kPen);
  m.Field(12360, kVar, kPen);
  return m.EndSet().Finish();
}

inline const std::vector<std::uint8_t> kUdid(20, 0xab);

inline std::vector<std::uint8_t> AgentIdentityMessage(std::uint32_t sequence) {
  IpfixMessageBuilder m(sequence);
  m.BeginSet(262).Text("host-1").Raw(kUdid).Text("Debian GNU/Linux").Text("12");
  m.Text("6.1.0-18-amd64").Text("ACME \"Labs\"").Text("x86_64");
  return m.EndSet().Finish();
}

inline std::vector<std::uint8_t> AgentInterfaceMessage(std::uint32_t sequence) {
  IpfixMessageBuilder m(sequence);
  m.BeginSet(266).Raw(kUdid).U32(7).U32(3).U8(2).Text("wlan0");
  m.List(12350, kVar, {"SSID=Office", "State=Connected"}).Text("02:00:00:aa:bb:cc");
  return m.EndSet().Finish();
}

// Two IPv4 records (the second with a long host name) and one IPv6 record with two modules,
// their hashes listed unless with_hashes is false.
inline std::vector<std::uint8_t> AgentFlowMessage(std::uint32_t sequence, bool with_hashes = true) {
  IpfixMessageBuilder m(sequence);
  const std::string hash_a(32, 'A');
  const std::string hash_b(32, 'B');
  auto flow = [&](bool v6, std::uint16_t port, const std::string& host,
                  const std::vector<std::string>& modules, const std::vector<std::string>& hashes) {
    m.U8(6);
    if (v6) {
      m.Raw({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    } else {
      m.U32(0x0A000001);  // 10.0.0.1
    }
    m.U16(port);
    if (v6) {
      m.Raw({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2});
    } else {
      m.U32(0xC0A80102);  // 192.168.1.2
    }
    m.U16(443).U32(1'700'000'100).U32(1'700'000'200).Raw(kUdid).Text("HOST\\alice").U16(1);
    m.Text("HOST\\alice").U16(1).Text("curl").Repeat(0x11, 32).Text("NT AUTHORITY\\SYSTEM");
    m.U16(4).Text("bash").Repeat(0, 32).U64(0x0000000100000002ULL).U64(1234);
    m.Text("example.org").Text(host).U32(7).List(12348, kVar, modules).List(12350, 32, hashes);
  };
  m.BeginSet(267);
  flow(false, 50000, "www.example.com", {}, {});
  flow(false, 50001, std::string(300, 'h') + ".invalid", {}, {});
  m.EndSet().BeginSet(268);
  flow(true, 50002, "v6.example.com", {"mod-a.jar", "mod-b.py"},
       with_hashes ? std::vector<std::string>{hash_a, hash_b} : std::vector<std::string>{});
  return m.EndSet().Finish();
}

}  // namespace orv::test
