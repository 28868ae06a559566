// The DNS message reader: CNAME chains, compression, names kept as asked, and every way a message
// can break its bounds (plain queries and A answers are the tracker tests', cuts at every length
// the fuzz target's).
#include "driver/dns_message.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "support/dns_wire.h"

namespace {

using orv::driver::DnsMessage;
using orv::driver::ParseDnsMessage;
using namespace orv::test::dns;

const Bytes kV4{10, 0, 0, 7};
const Bytes kV6{0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

// An answer whose single A record names its owner with a pointer to the question (offset 12).
Bytes CompressedAnswer(std::uint8_t pointer_high, std::uint8_t pointer_low) {
  Bytes out = Message(7, true, "a.test", 1);
  out[7] = 1;  // one answer
  out.insert(out.end(), {pointer_high, pointer_low, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4});
  out.insert(out.end(), kV4.begin(), kV4.end());
  return out;
}

// An answer whose A record's owner is a pointer to a chain of links pointers long (held in the
// data of a record of an unknown type before it) that ends at the question's name.
Bytes PointerChain(std::uint8_t links) {
  Bytes out = Message(7, true, "a.test", 1);
  out[7] = 2;
  out.insert(out.end(), {0, 0, 99, 0, 1, 0, 0, 0, 60, 0, static_cast<std::uint8_t>(2 * links)});
  const auto base = static_cast<std::uint8_t>(out.size());
  for (std::uint8_t link = 0; link < links; ++link) {
    out.insert(out.end(),
               {0xC0, static_cast<std::uint8_t>(link == 0 ? 12 : base + 2 * (link - 1))});
  }
  out.insert(out.end(), {0xC0, static_cast<std::uint8_t>(base + 2 * (links - 1)), 0, 1, 0, 1, 0, 0,
                         0, 60, 0, 4, 10, 0, 0, 7});
  return out;
}

TEST(DnsMessage, ReadsTheAddressesOfTheNameAsked) {
  struct Case {
    const char* what;
    Bytes message;
    const char* question;
    std::vector<std::pair<int, std::uint32_t>> addresses;  // family, TTL
  };
  const Case cases[] = {
      {"AAAA through a CNAME chain, smallest TTL",
       Message(3, true, "API.Example.test", 28,
               {{"api.example.test", 5, 100, Name("edge.cdn.test")},
                {"edge.cdn.test", 5, 900, Name("node.cdn.test")},
                {"node.cdn.test", 28, 500, kV6},
                {"other.test", 1, 500, kV4}}),
       "api.example.test",
       {{AF_INET6, 100}}},
      {"IDN kept in its ACE form",
       Message(4, true, "xn--bcher-kva.test", 1, {{"xn--bcher-kva.test", 1, 60, kV4}}),
       "xn--bcher-kva.test",
       {{AF_INET, 60}}},
      {"owner by a pointer to the question", CompressedAnswer(0xC0, 12), "a.test", {{AF_INET, 60}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DnsMessage message;
    ASSERT_TRUE(ParseDnsMessage(c.message, message));
    EXPECT_EQ(message.question, c.question);
    EXPECT_TRUE(message.is_response);
    ASSERT_EQ(message.addresses.size(), c.addresses.size());
    for (std::size_t i = 0; i < c.addresses.size(); ++i) {
      EXPECT_EQ(message.addresses[i].family, c.addresses[i].first);
      EXPECT_EQ(message.addresses[i].ttl_seconds, c.addresses[i].second);
    }
  }
}

TEST(DnsMessage, RefusesMessagesThatBreakABound) {
  const Bytes good = Message(2, true, "api.example.test", 1, {{"api.example.test", 1, 300, kV4}});
  Bytes two_questions = good;
  two_questions[5] = 2;
  Bytes long_label = Message(1, false, std::string(64, 'a') + ".test", 1);
  Bytes bad_byte = Message(1, false, "a.test", 1);
  bad_byte[13] = '.';
  Bytes short_address = Message(2, true, "a.test", 1, {{"a.test", 1, 300, {10, 0, 0}}});
  Bytes more_answers_than_bytes = good;
  more_answers_than_bytes[6] = 0x40;
  const struct {
    const char* what;
    Bytes message;
  } cases[] = {
      {"two questions", two_questions},
      {"label over 63 bytes", long_label},
      {"dot inside a label", bad_byte},
      {"A of 3 bytes", short_address},
      {"more answers than the bytes can hold", more_answers_than_bytes},
      {"pointer forwards", CompressedAnswer(0xC0, 200)},
      {"pointer to itself", CompressedAnswer(0xC0, 34)},
      {"obsolete label type", CompressedAnswer(0x40, 12)},
      {"header only", Bytes(12, 0)},
  };
  DnsMessage message;
  for (const auto& c : cases) {
    EXPECT_FALSE(ParseDnsMessage(c.message, message)) << c.what;
  }
  // The A record's owner reaches the question through a chain of pointers: 16 jumps pass.
  EXPECT_TRUE(ParseDnsMessage(PointerChain(15), message));
  EXPECT_EQ(message.addresses.size(), 1u);
  EXPECT_FALSE(ParseDnsMessage(PointerChain(16), message));
}

}  // namespace
