#include "export/ipfix_decoder_format.h"

#include <cstdio>
#include <ctime>
#include <map>

namespace {

constexpr int kNameColumn = 34;

// Escapes quotes, backslashes and control characters; UTF-8 passes unchanged.
std::string Escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof(escape), "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out;
}

std::string UtcText(std::uint64_t seconds) {
  const auto time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  char text[32] = "";
  if (::gmtime_r(&time, &parts) != nullptr) {
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts);
  }
  return text;
}

std::string Exporter(std::string_view exporter, const IpfixMessage& message) {
  return "\"exporter\":\"" + Escaped(exporter) + "\",\"domain\":" + std::to_string(message.domain) +
         ",\"sequence\":" + std::to_string(message.sequence) +
         ",\"exportTime\":" + std::to_string(message.export_time);
}

}  // namespace

std::string IpfixValueText(const IpfixValue& value) {
  switch (value.type) {
    case IpfixValueType::kUnsigned:
      return std::to_string(value.number);
    case IpfixValueType::kDateTimeSeconds:
      return std::to_string(value.number) + " (" + UtcText(value.number) + ")";
    case IpfixValueType::kBasicList: {
      std::string text = "[";
      for (const IpfixValue& item : value.items) {
        text += (text.size() > 1 ? ", " : "") + IpfixValueText(item);
      }
      return text + "]";
    }
    case IpfixValueType::kString:
    case IpfixValueType::kTextOrOctets:
      return "\"" + Escaped(value.text) + "\"";
    default:
      return value.text;
  }
}

std::string IpfixValueJson(const IpfixValue& value) {
  switch (value.type) {
    case IpfixValueType::kUnsigned:
    case IpfixValueType::kDateTimeSeconds:
      return std::to_string(value.number);
    case IpfixValueType::kBasicList: {
      std::string json = "[";
      for (const IpfixValue& item : value.items) {
        json += (json.size() > 1 ? "," : "") + IpfixValueJson(item);
      }
      return json + "]";
    }
    default:
      return "\"" + Escaped(value.text) + "\"";
  }
}

std::string FormatIpfixRecordTable(std::string_view exporter, const IpfixMessage& message,
                                   const IpfixRecord& record) {
  std::string text = std::string(exporter) + " domain " + std::to_string(record.domain) +
                     " sequence " + std::to_string(message.sequence) + " template " +
                     std::to_string(record.template_id) + "\n";
  for (const IpfixField& field : record.fields) {
    std::string name = field.name;
    if (field.value.type == IpfixValueType::kBasicList) {
      name += "<" + field.value.item_name + ">";
    }
    name.resize(std::max<std::size_t>(name.size() + 1, kNameColumn), ' ');
    text += "  " + name + IpfixValueText(field.value) + "\n";
  }
  return text;
}

std::string FormatIpfixRecordJson(std::string_view exporter, const IpfixMessage& message,
                                  const IpfixRecord& record) {
  std::string json = "{" + Exporter(exporter, message) +
                     ",\"templateId\":" + std::to_string(record.template_id) + ",\"fields\":{";
  std::map<std::string, int> seen;
  bool first = true;
  for (const IpfixField& field : record.fields) {
    const int count = ++seen[field.name];
    const std::string key = count == 1 ? field.name : field.name + "#" + std::to_string(count);
    json += (first ? "\"" : ",\"") + Escaped(key) + "\":" + IpfixValueJson(field.value);
    first = false;
  }
  return json + "}}";
}

std::string FormatIpfixProblemTable(std::string_view exporter, const IpfixMessage& message,
                                    const IpfixProblem& problem) {
  return std::string(exporter) + " domain " + std::to_string(problem.domain) + " sequence " +
         std::to_string(message.sequence) + " NOT DECODED: " + Escaped(problem.reason) + "\n";
}

std::string FormatIpfixProblemJson(std::string_view exporter, const IpfixMessage& message,
                                   const IpfixProblem& problem) {
  return "{" + Exporter(exporter, message) + ",\"setId\":" + std::to_string(problem.set_id) +
         ",\"problem\":\"" + Escaped(problem.reason) + "\"}";
}
