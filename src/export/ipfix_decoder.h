// A collector-side IPFIX decoder (RFC 7011, with RFC 6313 basicLists), independent of the
// agent's encoder: it knows the wire format and learns every template from the template sets it
// sees, so it checks what the exporter writes rather than repeating its assumptions.
//
// Templates are kept per session (the exporter's address, as the caller names it), observation
// domain and template ID; template and options template sets are both learned, and a template
// record with no fields withdraws its template. Every data record of a known template is decoded
// field by field; values are typed by the element table of ipfix_decoder_elements.h, anything
// else is shown as hex octets. Nothing is dropped silently: a set whose template is unknown, a
// record cut short, a malformed list or a bad set length each yield a problem entry. The decoder
// never reads outside the datagram, and the templates it keeps are bounded in total size.
//
// Not thread-safe: one decoder per receiving thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "common/status.h"
#include "export/ipfix_decoder_elements.h"

// One field specifier of a learned template.
struct IpfixFieldSpec {
  std::uint16_t id = 0;          // enterprise bit removed
  std::uint16_t length = 0;      // 65535: variable length
  std::uint32_t enterprise = 0;  // 0 for IANA elements
};

// A decoded value. Numbers (unsigned and date-time elements) are in `number`; addresses, text
// (valid UTF-8, bad sequences replaced by U+FFFD) and octets (lowercase hex) in `text`; a
// basicList's items in `items`, all of element `item_name`.
struct IpfixValue {
  IpfixValueType type = IpfixValueType::kOctets;
  std::uint64_t number = 0;
  std::string text;
  std::string item_name;
  std::vector<IpfixValue> items;
};

struct IpfixField {
  IpfixFieldSpec specifier;
  std::string name;
  IpfixValue value;
};

struct IpfixRecord {
  std::uint32_t domain = 0;
  std::uint16_t template_id = 0;
  std::vector<IpfixField> fields;
};

// Something in the message that could not be decoded, with the reason in words.
struct IpfixProblem {
  std::uint32_t domain = 0;
  std::uint16_t set_id = 0;
  std::string reason;
};

struct IpfixMessage {
  std::uint16_t version = 0;
  std::uint16_t length = 0;
  std::uint32_t export_time = 0;
  std::uint32_t sequence = 0;
  std::uint32_t domain = 0;
  std::size_t templates_learned = 0;  // template records (withdrawals included) in the message
  std::vector<IpfixRecord> records;
  std::vector<IpfixProblem> problems;
};

class IpfixDecoder {
 public:
  // Upper bound on the field specifiers kept over all templates; further templates are refused
  // with a problem entry.
  static constexpr std::size_t kMaxStoredFields = 1 << 20;

  // Decodes one message received from session into message (cleared first). Returns 0 when the
  // message header was readable (problems, if any, are listed in the message) and -9994 when the
  // datagram is not an IPFIX message (one problem says why).
  [[nodiscard]] OB_STATUSCODE Decode(std::span<const std::uint8_t> datagram,
                                     std::string_view session, IpfixMessage* message);
  // Number of templates currently known.
  [[nodiscard]] std::size_t TemplateCount() const { return templates_.size(); }

 private:
  using TemplateKey = std::tuple<std::string, std::uint32_t, std::uint16_t>;
  struct Template {
    std::vector<IpfixFieldSpec> fields;
    std::size_t min_record_length = 0;
  };

  void learnTemplates(std::span<const std::uint8_t> set, std::uint16_t set_id,
                      std::string_view session, IpfixMessage* message);
  void removeTemplate(const TemplateKey& key);
  void decodeDataSet(std::span<const std::uint8_t> set, std::uint16_t set_id,
                     std::string_view session, IpfixMessage* message) const;

  std::map<TemplateKey, Template> templates_;
  std::size_t stored_fields_ = 0;
};
