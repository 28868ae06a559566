#include "export/ipfix_decoder.h"

#include <algorithm>
#include <array>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/address_v6.hpp>
#include <map>
#include <optional>

#include "runtime/utils.h"

namespace {

constexpr std::uint16_t kIpfixVersion = 10;
constexpr std::size_t kMessageHeaderSize = 16;
constexpr std::size_t kSetHeaderSize = 4;
constexpr std::uint16_t kTemplateSetId = 2;
constexpr std::uint16_t kOptionsTemplateSetId = 3;
constexpr std::uint16_t kFirstDataSetId = 256;
constexpr std::uint16_t kVariableLength = 0xFFFF;
constexpr std::uint16_t kEnterpriseBit = 0x8000;

// Bounds-checked big-endian reads over a byte span; every read fails once past the end.
class Cursor {
 public:
  explicit Cursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  [[nodiscard]] std::size_t left() const { return bytes_.size() - offset_; }
  [[nodiscard]] std::optional<std::uint64_t> Number(std::size_t width) {
    if (width > left() || width > 8) {
      return std::nullopt;
    }
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      value = (value << 8) | bytes_[offset_ + i];
    }
    offset_ += width;
    return value;
  }
  [[nodiscard]] std::optional<std::span<const std::uint8_t>> Bytes(std::size_t count) {
    if (count > left()) {
      return std::nullopt;
    }
    const auto bytes = bytes_.subspan(offset_, count);
    offset_ += count;
    return bytes;
  }
  // An RFC 7011 variable-length field: one length byte, or 255 and a 16-bit length.
  [[nodiscard]] std::optional<std::span<const std::uint8_t>> VariableLength() {
    const auto first = Number(1);
    if (!first) {
      return std::nullopt;
    }
    std::uint64_t length = *first;
    if (length == 255) {
      const auto longer = Number(2);
      if (!longer) {
        return std::nullopt;
      }
      length = *longer;
    }
    return Bytes(static_cast<std::size_t>(length));
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t offset_ = 0;
};

// Length of the well-formed UTF-8 sequence at the start of bytes (1 to 4), or 0.
std::size_t Utf8SequenceLength(std::span<const std::uint8_t> bytes) {
  const std::uint8_t lead = bytes[0];
  if (lead < 0x80) {
    return 1;
  }
  std::size_t length = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
    high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (bytes.size() < length || bytes[1] < low || bytes[1] > high) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {
    if (bytes[i] < 0x80 || bytes[i] > 0xBF) {
      return 0;
    }
  }
  return length;
}

std::string SanitisedUtf8(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    const std::size_t length = Utf8SequenceLength(bytes);
    if (length == 0) {
      text += "\xEF\xBF\xBD";
      bytes = bytes.subspan(1);
    } else {
      text.append(reinterpret_cast<const char*>(bytes.data()), length);
      bytes = bytes.subspan(length);
    }
  }
  return text;
}

IpfixValue Octets(std::span<const std::uint8_t> bytes) {
  IpfixValue value;
  value.type = IpfixValueType::kOctets;
  value.text = OBRuntime::Utils::EncodeToHex(bytes);
  return value;
}

std::optional<IpfixValue> DecodeBasicList(std::span<const std::uint8_t> bytes);

// The value of one field of the given specifier, typed by the element table; a length that
// does not suit the element's type gives octets. Null only for a malformed basicList.
std::optional<IpfixValue> DecodeValue(const IpfixFieldSpec& specifier,
                                      std::span<const std::uint8_t> bytes) {
  const IpfixElementInfo* element = FindIpfixElement(specifier.enterprise, specifier.id);
  if (element == nullptr) {
    return Octets(bytes);
  }
  IpfixValue value;
  value.type = element->type;
  switch (element->type) {
    case IpfixValueType::kUnsigned:
    case IpfixValueType::kDateTimeSeconds:
      if (bytes.empty() || bytes.size() > 8) {
        return Octets(bytes);
      }
      value.number = *Cursor(bytes).Number(bytes.size());
      return value;
    case IpfixValueType::kIPv4Address:
      if (bytes.size() != 4) {
        return Octets(bytes);
      }
      value.text = boost::asio::ip::address_v4(static_cast<std::uint32_t>(*Cursor(bytes).Number(4)))
                       .to_string();
      return value;
    case IpfixValueType::kIPv6Address: {
      if (bytes.size() != 16) {
        return Octets(bytes);
      }
      boost::asio::ip::address_v6::bytes_type raw;
      std::copy(bytes.begin(), bytes.end(), raw.begin());
      value.text = boost::asio::ip::address_v6(raw).to_string();
      return value;
    }
    case IpfixValueType::kTextOrOctets:
      if (specifier.length != kVariableLength) {
        return Octets(bytes);
      }
      value.type = IpfixValueType::kString;
      value.text = SanitisedUtf8(bytes);
      return value;
    case IpfixValueType::kString:
      value.text = SanitisedUtf8(bytes);
      return value;
    case IpfixValueType::kBasicList:
      return DecodeBasicList(bytes);
    case IpfixValueType::kOctets:
      break;
  }
  return Octets(bytes);
}

// RFC 6313 basicList: semantic, field ID (enterprise bit), element length, [enterprise], items.
// Items of a list element are shown as octets rather than decoded recursively.
std::optional<IpfixValue> DecodeBasicList(std::span<const std::uint8_t> bytes) {
  Cursor cursor(bytes);
  const auto semantic = cursor.Number(1);
  const auto field_id = cursor.Number(2);
  const auto item_length = cursor.Number(2);
  if (!semantic || !field_id || !item_length) {
    return std::nullopt;
  }
  IpfixFieldSpec item{static_cast<std::uint16_t>(*field_id & ~kEnterpriseBit),
                      static_cast<std::uint16_t>(*item_length), 0};
  if ((*field_id & kEnterpriseBit) != 0) {
    const auto enterprise = cursor.Number(4);
    if (!enterprise) {
      return std::nullopt;
    }
    item.enterprise = static_cast<std::uint32_t>(*enterprise);
  }
  if (item.length == 0) {
    return std::nullopt;  // zero-length items would never end the list
  }
  IpfixValue list;
  list.type = IpfixValueType::kBasicList;
  list.number = *semantic;
  list.item_name = IpfixElementName(item.enterprise, item.id);
  const bool nested = [&] {
    const IpfixElementInfo* element = FindIpfixElement(item.enterprise, item.id);
    return element != nullptr && element->type == IpfixValueType::kBasicList;
  }();
  while (cursor.left() > 0) {
    const auto raw =
        item.length == kVariableLength ? cursor.VariableLength() : cursor.Bytes(item.length);
    if (!raw) {
      return std::nullopt;
    }
    list.items.push_back(nested ? Octets(*raw) : *DecodeValue(item, *raw));
  }
  return list;
}

std::string Describe(std::uint16_t template_id, std::uint32_t domain) {
  return "template " + std::to_string(template_id) + " of domain " + std::to_string(domain);
}

}  // namespace

OB_STATUSCODE IpfixDecoder::Decode(std::span<const std::uint8_t> datagram, std::string_view session,
                                   IpfixMessage* message) {
  *message = IpfixMessage{};
  Cursor header(datagram);
  if (datagram.size() < kMessageHeaderSize) {
    message->problems.push_back({0, 0,
                                 "datagram of " + std::to_string(datagram.size()) +
                                     " bytes is shorter than a message header"});
    return kObBadArgument;
  }
  message->version = static_cast<std::uint16_t>(*header.Number(2));
  message->length = static_cast<std::uint16_t>(*header.Number(2));
  message->export_time = static_cast<std::uint32_t>(*header.Number(4));
  message->sequence = static_cast<std::uint32_t>(*header.Number(4));
  message->domain = static_cast<std::uint32_t>(*header.Number(4));
  if (message->version != kIpfixVersion) {
    message->problems.push_back(
        {message->domain, 0, "version " + std::to_string(message->version) + " is not IPFIX"});
    return kObBadArgument;
  }
  if (message->length < kMessageHeaderSize) {
    message->problems.push_back(
        {message->domain, 0,
         "message length " + std::to_string(message->length) + " is shorter than its header"});
    return kObBadArgument;
  }
  std::size_t end = message->length;
  if (end != datagram.size()) {
    message->problems.push_back({message->domain, 0,
                                 "message length " + std::to_string(end) + " but datagram of " +
                                     std::to_string(datagram.size()) + " bytes"});
    end = std::min(end, datagram.size());
  }
  Cursor sets(datagram.subspan(kMessageHeaderSize, end - kMessageHeaderSize));
  while (sets.left() > 0) {
    const auto set_id = sets.Number(2);
    const auto set_length = sets.Number(2);
    if (!set_id || !set_length || *set_length < kSetHeaderSize ||
        *set_length - kSetHeaderSize > sets.left()) {
      message->problems.push_back(
          {message->domain, static_cast<std::uint16_t>(set_id.value_or(0)),
           "set length " + std::to_string(set_length.value_or(0)) + " does not fit the " +
               std::to_string(sets.left() + kSetHeaderSize) + " bytes left in the message"});
      break;
    }
    const auto body = *sets.Bytes(static_cast<std::size_t>(*set_length - kSetHeaderSize));
    const auto id = static_cast<std::uint16_t>(*set_id);
    if (id == kTemplateSetId || id == kOptionsTemplateSetId) {
      learnTemplates(body, id, session, message);
    } else if (id >= kFirstDataSetId) {
      decodeDataSet(body, id, session, message);
    } else {
      message->problems.push_back(
          {message->domain, id, "reserved set ID " + std::to_string(id) + " skipped"});
    }
  }
  return kObSuccess;
}

void IpfixDecoder::learnTemplates(std::span<const std::uint8_t> set, std::uint16_t set_id,
                                  std::string_view session, IpfixMessage* message) {
  const std::uint32_t domain = message->domain;
  Cursor cursor(set);
  const std::size_t header_size = set_id == kOptionsTemplateSetId ? 6 : 4;
  // Fewer bytes than a template header left over are padding.
  while (cursor.left() >= header_size) {
    const auto id = static_cast<std::uint16_t>(*cursor.Number(2));
    const auto count = static_cast<std::size_t>(*cursor.Number(2));
    if (set_id == kOptionsTemplateSetId) {
      (void)cursor.Number(2);  // scope field count: scope fields are decoded like the others
    }
    if (count == 0) {
      // Withdrawal: of one template, or with the set's own ID of all in the domain.
      ++message->templates_learned;
      std::erase_if(templates_, [&](const auto& entry) {
        const auto& [key_session, key_domain, key_id] = entry.first;
        const bool match =
            key_session == session && key_domain == domain && (id == set_id || key_id == id);
        if (match) {
          stored_fields_ -= entry.second.fields.size();
        }
        return match;
      });
      continue;
    }
    if (id < kFirstDataSetId) {
      message->problems.push_back(
          {domain, set_id, "template ID " + std::to_string(id) + " is below 256; set skipped"});
      return;
    }
    Template learned;
    for (std::size_t i = 0; i < count; ++i) {
      const auto raw_id = cursor.Number(2);
      const auto length = cursor.Number(2);
      if (!raw_id || !length) {
        break;
      }
      IpfixFieldSpec specifier{static_cast<std::uint16_t>(*raw_id & ~kEnterpriseBit),
                               static_cast<std::uint16_t>(*length), 0};
      if ((*raw_id & kEnterpriseBit) != 0) {
        const auto enterprise = cursor.Number(4);
        if (!enterprise) {
          break;
        }
        specifier.enterprise = static_cast<std::uint32_t>(*enterprise);
      }
      learned.min_record_length += specifier.length == kVariableLength ? 1 : specifier.length;
      learned.fields.push_back(specifier);
    }
    if (learned.fields.size() != count) {
      message->problems.push_back({domain, set_id,
                                   Describe(id, domain) + " declares " + std::to_string(count) +
                                       " fields but the set ends after " +
                                       std::to_string(learned.fields.size())});
      return;
    }
    if (std::any_of(learned.fields.begin(), learned.fields.end(),
                    [](const IpfixFieldSpec& specifier) { return specifier.length == 0; })) {
      // Every field must take at least one byte, or one small record could expand into
      // millions of fields.
      message->problems.push_back(
          {domain, set_id, Describe(id, domain) + " has a zero-length field; ignored"});
      continue;
    }
    TemplateKey key{std::string(session), domain, id};
    removeTemplate(key);
    if (stored_fields_ + count > kMaxStoredFields) {
      message->problems.push_back(
          {domain, set_id, Describe(id, domain) + " refused: too many template fields stored"});
      continue;
    }
    stored_fields_ += count;
    templates_.emplace(std::move(key), std::move(learned));
    ++message->templates_learned;
  }
}

void IpfixDecoder::removeTemplate(const TemplateKey& key) {
  const auto it = templates_.find(key);
  if (it != templates_.end()) {
    stored_fields_ -= it->second.fields.size();
    templates_.erase(it);
  }
}

void IpfixDecoder::decodeDataSet(std::span<const std::uint8_t> set, std::uint16_t set_id,
                                 std::string_view session, IpfixMessage* message) const {
  const std::uint32_t domain = message->domain;
  const auto found = templates_.find(TemplateKey{std::string(session), domain, set_id});
  if (found == templates_.end()) {
    message->problems.push_back({domain, set_id,
                                 "unknown " + Describe(set_id, domain) + ": data set of " +
                                     std::to_string(set.size()) + " bytes not decoded"});
    return;
  }
  const Template& known = found->second;
  Cursor cursor(set);
  std::size_t index = 0;
  while (cursor.left() > 0) {
    const std::size_t left = cursor.left();
    if (left < known.min_record_length &&
        std::all_of(set.end() - static_cast<std::ptrdiff_t>(left), set.end(),
                    [](std::uint8_t byte) { return byte == 0; })) {
      return;  // padding
    }
    IpfixRecord record{domain, set_id, {}};
    for (const IpfixFieldSpec& specifier : known.fields) {
      const auto raw = specifier.length == kVariableLength ? cursor.VariableLength()
                                                           : cursor.Bytes(specifier.length);
      if (!raw) {
        message->problems.push_back(
            {domain, set_id,
             "short record " + std::to_string(index) + " of " + Describe(set_id, domain) +
                 ": field " + std::to_string(record.fields.size() + 1) + " (" +
                 IpfixElementName(specifier.enterprise, specifier.id) + ") runs past the " +
                 std::to_string(left) + " bytes left in the set"});
        return;
      }
      auto value = DecodeValue(specifier, *raw);
      if (!value) {
        message->problems.push_back({domain, set_id,
                                     "record " + std::to_string(index) + " of " +
                                         Describe(set_id, domain) + ": malformed basicList in " +
                                         IpfixElementName(specifier.enterprise, specifier.id)});
        value = Octets(*raw);
      }
      record.fields.push_back(
          {specifier, IpfixElementName(specifier.enterprise, specifier.id), std::move(*value)});
    }
    message->records.push_back(std::move(record));
    ++index;
  }
}
