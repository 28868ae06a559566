#include "common/operator_counters.h"

#include <algorithm>
#include <charconv>
#include <optional>

namespace {

constexpr std::array<std::string_view, 5> kActivityNames = {"starting", "exporting", "caching",
                                                            "collection off", "stopping"};

// 12345 -> "12,345".
std::string Grouped(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3) {
    digits.insert(static_cast<std::size_t>(at), 1, ',');
  }
  return digits;
}

// A reader for the subset of JSON the status file uses: one object whose values are strings
// without escapes, integers, or one nested object of integers.
class StatusReader {
 public:
  explicit StatusReader(std::string_view text) : text_(text) {}

  bool ReadObject(OperatorStatus& status, bool counters) {
    if (!Take('{')) return false;
    if (Take('}')) return true;
    do {
      const auto key = ReadString();
      if (!key || !Take(':') || !ReadMember(*key, status, counters)) return false;
    } while (Take(','));
    return Take('}');
  }
  bool AtEnd() {
    SkipSpace();
    return at_ == text_.size();
  }

 private:
  bool ReadMember(std::string_view key, OperatorStatus& status, bool counters) {
    SkipSpace();
    if (!counters && key == "counters") return ReadObject(status, true);
    if (!counters && key == "activity") {
      const auto name = ReadString();
      const auto* found = name ? std::find(kActivityNames.begin(), kActivityNames.end(), *name)
                               : kActivityNames.end();
      if (found == kActivityNames.end()) return false;
      status.activity = static_cast<AgentActivity>(found - kActivityNames.begin());
      return true;
    }
    std::int64_t value = 0;
    if (!ReadInteger(value)) return false;
    if (counters) {
      const auto* info = std::find_if(kFlowCounterInfo.begin(), kFlowCounterInfo.end(),
                                      [&](const FlowCounterInfo& i) { return i.name == key; });
      if (value < 0) return false;
      if (info != kFlowCounterInfo.end()) {
        status.counts[static_cast<std::size_t>(info - kFlowCounterInfo.begin())] =
            static_cast<std::uint64_t>(value);
      }
    } else if (key == "updated") {
      status.updated = value;
    } else if (key == "cache_rows") {
      if (value < 0) return false;
      status.cache_rows = static_cast<std::uint64_t>(value);
    }
    return true;
  }
  std::optional<std::string_view> ReadString() {
    if (!Take('"')) return std::nullopt;
    const auto end = text_.find_first_of("\"\\", at_);
    if (end == std::string_view::npos || text_[end] != '"') return std::nullopt;
    const auto value = text_.substr(at_, end - at_);
    at_ = end + 1;
    return value;
  }
  bool ReadInteger(std::int64_t& value) {
    const auto [end, error] =
        std::from_chars(text_.data() + at_, text_.data() + text_.size(), value);
    if (error != std::errc()) return false;
    at_ = static_cast<std::size_t>(end - text_.data());
    return true;
  }
  bool Take(char expected) {
    SkipSpace();
    if (at_ < text_.size() && text_[at_] == expected) {
      ++at_;
      return true;
    }
    return false;
  }
  void SkipSpace() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\t' || text_[at_] == '\r')) {
      ++at_;
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

std::uint64_t OperatorStatus::Lost() const {
  std::uint64_t lost = 0;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    if (kFlowCounterInfo[i].lost) lost += counts[i];
  }
  return lost;
}

COperatorCounters& COperatorCounters::Instance() {
  static COperatorCounters counters;
  return counters;
}

OperatorStatus COperatorCounters::Read(std::int64_t now) const {
  OperatorStatus status;
  for (std::size_t i = 0; i < counts_.size(); ++i) {
    status.counts[i] = counts_[i].load(std::memory_order_relaxed);
  }
  status.activity = activity_.load();
  status.cache_rows = cache_rows_.load();
  status.updated = now;
  return status;
}

std::string_view ActivityName(AgentActivity activity) {
  return kActivityNames.at(static_cast<std::size_t>(activity));
}

std::string FormatStatusLine(const OperatorStatus& status) {
  return std::string(ActivityName(status.activity)) + "; " +
         Grouped(status.Count(FlowCounter::kExported) +
                 status.Count(FlowCounter::kCacheDelivered)) +
         " flows exported, " + Grouped(status.Lost()) + " dropped, cache " +
         Grouped(status.cache_rows) + " rows";
}

std::string FormatStatusJson(const OperatorStatus& status) {
  std::string json = "{\"activity\":\"" + std::string(ActivityName(status.activity)) +
                     "\",\"updated\":" + std::to_string(status.updated) +
                     ",\"cache_rows\":" + std::to_string(status.cache_rows) + ",\"counters\":{";
  for (std::size_t i = 0; i < status.counts.size(); ++i) {
    json += (i == 0 ? "\"" : ",\"") + std::string(kFlowCounterInfo[i].name) +
            "\":" + std::to_string(status.counts[i]);
  }
  return json + "}}\n";
}

OB_STATUSCODE ParseStatusJson(std::string_view text, OperatorStatus& status) {
  OperatorStatus read;
  StatusReader reader(text);
  if (!reader.ReadObject(read, false) || !reader.AtEnd()) {
    return kObBadArgument;
  }
  status = read;
  return kObSuccess;
}

std::string FormatPrometheus(const OperatorStatus& status) {
  std::string text;
  for (std::size_t i = 0; i < status.counts.size(); ++i) {
    const std::string metric = "orv_" + std::string(kFlowCounterInfo[i].name) + "_total";
    text += "# HELP " + metric + " " + std::string(kFlowCounterInfo[i].help) + "\n# TYPE " +
            metric + " counter\n" + metric + " " + std::to_string(status.counts[i]) + "\n";
  }
  text +=
      "# HELP orv_cache_rows Flow records waiting in the cache.\n# TYPE orv_cache_rows gauge\n"
      "orv_cache_rows " +
      std::to_string(status.cache_rows) + "\n";
  text +=
      "# HELP orv_activity What the agent is doing (1 for the current activity).\n"
      "# TYPE orv_activity gauge\n";
  for (std::size_t i = 0; i < kActivityNames.size(); ++i) {
    text += "orv_activity{activity=\"" + std::string(kActivityNames[i]) + "\"} " +
            (static_cast<std::size_t>(status.activity) == i ? "1" : "0") + "\n";
  }
  text +=
      "# HELP orv_status_updated_timestamp_seconds When the agent last wrote its status.\n"
      "# TYPE orv_status_updated_timestamp_seconds gauge\n"
      "orv_status_updated_timestamp_seconds " +
      std::to_string(status.updated) + "\n";
  return text;
}
