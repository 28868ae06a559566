// Builds DNS messages for tests: queries and answers with uncompressed names, so each test spells
// only the records it is about. Header-only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orv::test::dns {

using Bytes = std::vector<std::uint8_t>;

inline void Put16(Bytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

inline void Put32(Bytes& out, std::uint32_t value) {
  Put16(out, static_cast<std::uint16_t>(value >> 16));
  Put16(out, static_cast<std::uint16_t>(value));
}

// The wire form of a dotted name.
inline Bytes Name(std::string_view dotted) {
  Bytes out;
  while (!dotted.empty()) {
    const std::size_t dot = dotted.find('.');
    const std::string_view label = dotted.substr(0, dot);
    out.push_back(static_cast<std::uint8_t>(label.size()));
    out.insert(out.end(), label.begin(), label.end());
    dotted = dot == std::string_view::npos ? std::string_view() : dotted.substr(dot + 1);
  }
  out.push_back(0);
  return out;
}

struct Record {
  std::string owner;
  std::uint16_t type;  // 1 A, 5 CNAME, 28 AAAA
  std::uint32_t ttl;
  Bytes data;  // the address bytes, or Name(target) for a CNAME
};

// A query (no records) or an answer to question with the records given.
inline Bytes Message(std::uint16_t id, bool response, std::string_view question,
                     std::uint16_t question_type, const std::vector<Record>& answers = {}) {
  Bytes out;
  Put16(out, id);
  Put16(out, response ? 0x8180 : 0x0100);
  Put16(out, 1);
  Put16(out, static_cast<std::uint16_t>(answers.size()));
  Put32(out, 0);
  const Bytes asked = Name(question);
  out.insert(out.end(), asked.begin(), asked.end());
  Put16(out, question_type);
  Put16(out, 1);
  for (const Record& record : answers) {
    const Bytes owner = Name(record.owner);
    out.insert(out.end(), owner.begin(), owner.end());
    Put16(out, record.type);
    Put16(out, 1);
    Put32(out, record.ttl);
    Put16(out, static_cast<std::uint16_t>(record.data.size()));
    out.insert(out.end(), record.data.begin(), record.data.end());
  }
  return out;
}

}  // namespace orv::test::dns
