#include "config/orv_profile.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "config/expat_sax_parser.h"
#include "config/profile_text.h"
#include "runtime/log_limiter.h"
#include "runtime/logger.h"
#include "runtime/utils.h"

namespace {

using orv::config::EqualsIgnoreCase;

// Validation and clamp messages carry this function name wherever they are logged from.
constexpr const char* kSetElementValue = "CORVProfile::SetElementValue";

// Process-wide profile-valid flag: set by a load, cleared by validation errors.
std::atomic<bool> g_profile_valid{false};

void Invalidate() noexcept { g_profile_valid.store(false); }

std::mutex& LoadMutex() {
  static std::mutex mutex;
  return mutex;
}

// Policy slot of a network type name; the fallback slot for anything else.
std::size_t SlotOf(std::wstring_view name) {
  if (EqualsIgnoreCase(name, L"vpn")) {
    return kPolicySlotVpn;
  }
  if (EqualsIgnoreCase(name, L"trusted")) {
    return kPolicySlotTrusted;
  }
  if (EqualsIgnoreCase(name, L"untrusted")) {
    return kPolicySlotUntrusted;
  }
  return kPolicySlotFallback;
}

// How one clamped number is read and stored. Values are compared in 64 bits after scaling, so
// no configured value can wrap past a limit.
struct NumericRule {
  std::wstring_view element;
  bool sixteen_bit;  // read as unsigned 16-bit; else signed 32-bit taken as unsigned
  std::uint64_t scale;
  std::uint64_t maximum;
  bool clamp_at_maximum;  // the maximum itself is also "clamped" (and logged)
  const char* above_message;
  std::uint32_t above_shown;
  std::uint64_t minimum;  // 0: no minimum
  bool zero_exempt;       // 0 is kept although below the minimum
  const char* below_message;
  std::uint32_t below_shown;
  std::optional<std::uint32_t> fallback;  // stored for a non-number; none: profile invalid
  const char* fallback_message;
  void (*store)(ProfileSettings&, std::uint64_t);
};

const std::array<NumericRule, 6> kNumericRules = {{
    {L"IPFIXInterval", false, 1, 360, false,
     "Given IPFIX timer value is greater than the maximum limit, so setting the timer value to "
     "the maximum i.e %u seconds.",
     360, 60, true,
     "Given IPFIX timer value is less than the minimum limit, so setting the timer value to the "
     "minimum i.e %u seconds.",
     60, 60,
     "ORVProfileValidation: invalid IPFIX timer value. Setting it to Default ie %u seconds.",
     [](ProfileSettings& s, std::uint64_t v) {
       s.flow_report_interval = static_cast<std::uint32_t>(v);
     }},
    {L"AggInterval", false, 1000, 600000, true,
     "Given Aggregation Time out value is greater than the maximum limit, so setting the time out "
     "value to the maximum i.e %u milliseconds.",
     600000, 0, false, nullptr, 0, std::nullopt, "ORVProfileValidation: invalid timeout value",
     [](ProfileSettings& s, std::uint64_t v) {
       s.aggregation_timeout = static_cast<std::uint32_t>(v);
     }},
    {L"ThrottleRate", false, 128, 262144, false,
     "Given Throttle rate is greater than the maximum limit, so setting the throttle rate to the "
     "maximum i.e %u Kbps.",
     2048, 1536, true,
     "Given Throttle rate is less than the minimum limit, so setting the throttle rate to the "
     "minimum i.e %u Kbps.",
     12, 64000, "ORVProfileValidation: invalid Throttle rate. Setting Throttling to Default Rate.",
     [](ProfileSettings& s, std::uint64_t v) { s.throttle_rate = static_cast<std::uint32_t>(v); }},
    {L"TemplateReportInterval", false, 1, 1440, false,
     "Given Template Report interval is greater than the maximum limit, so setting the Template "
     "Report interval to the maximum i.e %u mins.",
     1440, 5, false,
     "Given Template Report interval is less than the minimum limit, so setting the Template "
     "Report interval to the minimum i.e %u mins.",
     5, 1440,
     "ORVProfileValidation: Invalid Template Report interval. Setting interval to Default ie "
     "1440 mins.",
     [](ProfileSettings& s, std::uint64_t v) {
       s.template_report_interval = static_cast<std::uint32_t>(v);
     }},
    {L"MaxSize", true, 1, 300, false,
     "Given Cache size control is greater than the maximum limit, so setting the cache size to "
     "the maximum i.e %u MB.",
     300, 10, false,
     "Given Cache size control is less than the minimum limit, so setting the cache size to the "
     "minimum i.e %u MB.",
     10, 50, "ORVProfileValidation: invalid Cache Size control. Setting it to Default size.",
     [](ProfileSettings& s, std::uint64_t v) {
       s.cache_size = static_cast<std::uint16_t>(v);
       s.cache_size_given = true;
     }},
    {L"MaxDuration", true, 1, 30, false,
     "Given Cache duration control is greater than the maximum limit, so setting the cache "
     "duration to the maximum i.e %u days.",
     30, 1, false,
     "Given Cache duration control is less than the minimum limit, so setting the cache duration "
     "to the minimum i.e %u days.",
     1, 999, "ORVProfileValidation: invalid Cache duration control. Disabling this feature.",
     [](ProfileSettings& s, std::uint64_t v) { s.cache_duration = static_cast<std::uint16_t>(v); }},
}};

// Reads text by rule and stores the clamped value (or the fallback) in settings; false when the
// text was not a number.
bool StoreNumber(const NumericRule& rule, const std::wstring& text, ProfileSettings& settings) {
  std::uint64_t value = 0;
  bool numeric = false;
  if (rule.sixteen_bit) {
    std::uint16_t read = 0;
    numeric = orv::config::ReadUint16(text, read);
    value = read;
  } else {
    std::int32_t read = 0;
    numeric = orv::config::ReadInt32(text, read);
    value = static_cast<std::uint32_t>(read);
  }
  if (!numeric) {
    if (rule.fallback) {
      OB_LOG_AS(LOG_ERROR, kSetElementValue, rule.fallback_message, *rule.fallback);
      rule.store(settings, *rule.fallback);
    } else {
      OB_LOG_AS(LOG_ERROR, kSetElementValue, "%s", rule.fallback_message);
      Invalidate();
    }
    return false;
  }
  value *= rule.scale;
  if (value > rule.maximum || (rule.clamp_at_maximum && value == rule.maximum)) {
    OB_LOG_AS(LOG_DEBUG, kSetElementValue, rule.above_message, rule.above_shown);
    value = rule.maximum;
  } else if (value < rule.minimum && !(rule.zero_exempt && value == 0)) {
    OB_LOG_AS(LOG_DEBUG, kSetElementValue, rule.below_message, rule.below_shown);
    value = rule.minimum;
  }
  rule.store(settings, value);
  return true;
}

}  // namespace

CORVProfile::CORVProfile() = default;

CORVProfile& CORVProfile::GetInstance() {
  static CORVProfile instance;
  return instance;
}

std::wstring CORVProfile::GetProfilePath() {
  return OBRuntime::Utils::GetORVDataDirectory() + L"/ORV_ServiceProfile.xml";
}

bool CORVProfile::IsProfileValid() noexcept { return g_profile_valid.load(); }

OB_STATUSCODE CORVProfile::LoadProfile() { return LoadProfile(GetProfilePath()); }

OB_STATUSCODE CORVProfile::LoadProfile(const std::wstring& path) {
  return Load([&path](CExpatSaxParser& parser) { return parser.startParser(path); });
}

OB_STATUSCODE CORVProfile::LoadProfileFromBuffer(std::string_view document) {
  return Load([document](CExpatSaxParser& parser) { return parser.ParseBuffer(document); });
}

OB_STATUSCODE CORVProfile::Load(const Parse& parse) {
  const std::lock_guard lock(LoadMutex());
  g_profile_valid.store(true);
  if (invokeParser(parse) == kObSuccess && g_profile_valid.load()) {
    return kObSuccess;
  }
  Invalidate();
  return kObFailure;
}

OB_STATUSCODE CORVProfile::invokeParser(const Parse& parse) {
  auto scratch = std::make_unique<CORVProfile>();
  const std::unique_ptr<CExpatSaxParser> parser = CExpatSaxParser::Create(*scratch);
  if (!parser) {
    OB_LOG_ERROR("Failed to create parser for windows\n");
    return kObFailure;
  }
  const OB_STATUSCODE status = parse(*parser);
  if (status != kObSuccess) {
    OB_LOG_ERROR("An error occurred while parsing the profile");
    return status;
  }
  // A profile that failed validation is not copied in, not even the part read before the error.
  if (!g_profile_valid.load()) {
    OB_LOG_ERROR("The profile is not valid; the profile in force stays");
    return status;
  }
  GetInstance().CopyFrom(*scratch);
  return status;
}

void CORVProfile::ResetToDefaults() {
  const std::lock_guard lock(settings_mutex_);
  ProfileSettings defaults;
  defaults.collector_ip = std::move(settings_.collector_ip);
  defaults.collector_port = settings_.collector_port;
  settings_ = std::move(defaults);
}

void CORVProfile::CopyFrom(const CORVProfile& other) {
  if (&other == this) {
    return;
  }
  const ProfileSettings settings = other.GetSettings();
  {
    const std::lock_guard lock(settings_mutex_);
    settings_ = settings;
  }
  const std::scoped_lock lock(mutex_, other.mutex_);
  field_mode_ = other.field_mode_;
  type_given_ = other.type_given_;
  default_exclude_ = other.default_exclude_;
  policy_seen_ = other.policy_seen_;
  knox_policy_seen_ = other.knox_policy_seen_;
  for (std::size_t slot = 0; slot < kPolicySlotFallback; ++slot) {
    policies_[slot] = other.policies_[slot];
    knox_policies_[slot] = other.knox_policies_[slot];
  }
}

void CORVProfile::SetTrustedNetworkState(const ITrustedNetworkState* state) noexcept {
  network_state_.store(state);
}

bool CORVProfile::RetryDue() {
  // A rejected file is parsed again only once it has changed: a stat per call while the profile
  // is rejected, not a read and a parse per flow.
  using Stamp = std::array<std::int64_t, 5>;
  static std::mutex mutex;
  static std::optional<Stamp> last_attempt;  // guarded by mutex
  Stamp stamp{};
  std::string path;
  struct stat info {};
  if (OBRuntime::Utils::WideCharToMBCS(GetProfilePath(), path) == kObSuccess &&
      ::stat(path.c_str(), &info) == 0) {
    stamp = {static_cast<std::int64_t>(info.st_dev), static_cast<std::int64_t>(info.st_ino),
             info.st_size, info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
  }
  const std::lock_guard lock(mutex);
  if (last_attempt == stamp) {
    return false;
  }
  last_attempt = stamp;
  return true;
}

DataCollectionPolicy CORVProfile::GetCurrentDataCollectionPolicy(bool knox) {
  // A rejected profile leaves the last valid policies in force: blanking, anonymisation and
  // filter rules never lapse because a bad file was written.
  if (!IsProfileValid() && RetryDue() && LoadProfile() != kObSuccess) {
    OB_LOG_LIMITED(LOG_ERROR,
                   "CORVProfile::GetCurrentDataCollectionPolicy - Failed to load the profile");
  }
  const ITrustedNetworkState* state = network_state_.load();
  const int type = state != nullptr ? state->GetNetworkType() : NETWORK_TYPE_UNKNOWN;
  const bool vpn = state != nullptr && state->IsVpnConnected();
  const std::lock_guard lock(mutex_);
  const auto& policies = knox ? knox_policies_ : policies_;
  if (type == NETWORK_TYPE_TRUSTED && vpn) {
    return policies[policies[kPolicySlotVpn].field_map.empty() ? kPolicySlotTrusted
                                                               : kPolicySlotVpn];
  }
  if (type == NETWORK_TYPE_TRUSTED || type == NETWORK_TYPE_UNTRUSTED) {
    return policies[static_cast<std::size_t>(type)];
  }
  return policies[kPolicySlotFallback];
}

DataCollectionPolicy CORVProfile::GetPolicy(std::size_t slot, bool knox) const {
  const std::lock_guard lock(mutex_);
  const auto& policies = knox ? knox_policies_ : policies_;
  return policies[std::min(slot, kPolicySlotFallback)];
}

ProfileSettings CORVProfile::GetSettings() const {
  const std::lock_guard lock(settings_mutex_);
  return settings_;
}

std::wstring CORVProfile::GetCollectorIP() const { return Read(&ProfileSettings::collector_ip); }
std::uint32_t CORVProfile::GetCollectorPort() const {
  return Read(&ProfileSettings::collector_port);
}
std::int32_t CORVProfile::GetCollectionMode() const {
  return Read(&ProfileSettings::collection_mode);
}
bool CORVProfile::IsBroadcastAllowed() const { return Read(&ProfileSettings::broadcast); }
bool CORVProfile::IsMulticastAllowed() const { return Read(&ProfileSettings::multicast); }
bool CORVProfile::IsKnoxOnly() const { return Read(&ProfileSettings::knox_only); }
std::uint32_t CORVProfile::GetFlowReportInterval() const {
  return Read(&ProfileSettings::flow_report_interval);
}
std::uint32_t CORVProfile::GetTemplateReportInterval() const {
  return Read(&ProfileSettings::template_report_interval);
}
std::uint32_t CORVProfile::GetAggregationTimeout() const {
  return Read(&ProfileSettings::aggregation_timeout);
}
std::uint32_t CORVProfile::GetThrottleRate() const { return Read(&ProfileSettings::throttle_rate); }
std::uint16_t CORVProfile::GetCacheSize() const { return Read(&ProfileSettings::cache_size); }
std::uint16_t CORVProfile::GetCacheDuration() const {
  return Read(&ProfileSettings::cache_duration);
}
std::wstring CORVProfile::GetPattern() const { return Read(&ProfileSettings::pattern); }
bool CORVProfile::IsPatternSet() const { return Read(&ProfileSettings::pattern_set); }

void CORVProfile::StartElement(const std::wstring& name) {
  current_element_ = name;
  if (name == L"FlowFilterRules") {
    in_filter_rules_ = true;
  }
  if (IsProfileValid()) {
    StartContainer(name);
  }
  if (in_filter_rules_) {
    for (const auto& engine : CurrentEngines()) {
      engine->StartElement(name);
    }
  }
}

void CORVProfile::EndElement(const std::wstring& name) {
  if (in_filter_rules_) {
    for (const auto& engine : CurrentEngines()) {
      engine->EndElement(name);
    }
  }
  if (name == L"FlowFilterRules") {
    in_filter_rules_ = false;
  } else if (name == L"Policy") {
    in_knox_policy_ = false;
  }
  current_element_.clear();
}

void CORVProfile::SetElementValue(const std::wstring& text) {
  if (!IsProfileValid()) {
    return;
  }
  const std::wstring& element = current_element_;
  if (element == L"ORVProfile" || element == L"CollectorConfiguration" ||
      element == L"CollectionCriteria" || element == L"TroubleShoot") {
    return;
  }
  if (StoreSetting(element, text) || StorePolicyElement(element, text)) {
    return;
  }
  if (element == L"Pattern") {
    const std::lock_guard lock(settings_mutex_);
    settings_.pattern = text;
    settings_.pattern_set = !text.empty();
    return;
  }
  if (in_filter_rules_) {
    for (const auto& engine : CurrentEngines()) {
      engine->SetElementValue(text);
    }
  }
}

bool CORVProfile::StoreSetting(const std::wstring& element, const std::wstring& text) {
  if (element == L"Port") {
    StorePort(text);
    return true;
  }
  if (element == L"CollectionMode") {
    StoreCollectionMode(text);
    return true;
  }
  const std::lock_guard lock(settings_mutex_);
  if (element == L"CollectorIP") {
    settings_.collector_ip = text;
  } else if (element == L"Broadcast") {
    settings_.broadcast = EqualsIgnoreCase(text, L"true");
  } else if (element == L"Multicast") {
    settings_.multicast = EqualsIgnoreCase(text, L"true");
  } else if (element == L"KnoxOnly") {
    settings_.knox_only = EqualsIgnoreCase(text, L"true");
  } else {
    const auto rule =
        std::find_if(kNumericRules.begin(), kNumericRules.end(),
                     [&element](const NumericRule& r) { return r.element == element; });
    if (rule == kNumericRules.end()) {
      return false;
    }
    // Duration control alone (no size given before it) turns size control off.
    if (StoreNumber(*rule, text, settings_) && element == L"MaxDuration" &&
        !settings_.cache_size_given) {
      settings_.cache_size = 999;
    }
  }
  return true;
}

void CORVProfile::StorePort(const std::wstring& text) {
  std::int32_t port = 0;
  if (!orv::config::ReadInt32(text, port)) {
    OB_LOG_AS(LOG_ERROR, kSetElementValue,
              "ORVProfileValidation: Collector Port Number is invalid.");
    return;
  }
  if (!IsValidPort(static_cast<std::uint32_t>(port))) {
    OB_LOG_AS(LOG_ERROR, kSetElementValue,
              "ORVProfileValidation: Collector Port Number is invalid.");
    Invalidate();
    return;
  }
  const std::lock_guard lock(settings_mutex_);
  settings_.collector_port = static_cast<std::uint32_t>(port);
}

void CORVProfile::StoreCollectionMode(const std::wstring& text) {
  constexpr std::array<std::wstring_view, 4> kModes = {L"off", L"trusted", L"untrusted", L"all"};
  for (std::size_t mode = 0; mode < kModes.size(); ++mode) {
    if (EqualsIgnoreCase(text, kModes[mode])) {
      const std::lock_guard lock(settings_mutex_);
      settings_.collection_mode = static_cast<std::int32_t>(mode);
      return;
    }
  }
  Invalidate();  // silently, as the management side has always had it
}

// Containers act on their start tag, whatever whitespace (if any) follows it: a profile written
// on one line, or with <Knox/>, means what it means pretty-printed.
void CORVProfile::StartContainer(const std::wstring& element) {
  const std::lock_guard lock(mutex_);
  if (element == L"DataCollectionPolicy") {
    policy_seen_ = {};
    knox_policy_seen_ = {};
  } else if (element == L"Policy") {
    network_slots_.clear();
    default_exclude_ = true;
    type_given_ = false;
    scratch_fields_.clear();
  } else if (element == L"Knox") {
    in_knox_policy_ = true;
  }
}

bool CORVProfile::StorePolicyElement(const std::wstring& element, const std::wstring& text) {
  const std::lock_guard lock(mutex_);
  if (element == L"DataCollectionPolicy" || element == L"Policy" || element == L"Knox") {
    // Acted on at the start tag; their text means nothing.
  } else if (element == L"NetworkType") {
    StoreNetworkTypes(text);
  } else if (element == L"Type") {
    StoreType(text);
  } else if (element == L"Fields" || element == L"AnonFields") {
    StoreFields(text, element == L"AnonFields");
  } else if (element != L"PolicyName") {
    return false;
  }
  return true;
}

void CORVProfile::StoreNetworkTypes(const std::wstring& text) {
  for (const std::wstring_view item : orv::config::SplitAtCommas(text)) {
    const std::size_t slot = SlotOf(item);
    if (slot == kPolicySlotFallback) {
      OB_LOG_AS(LOG_ERROR, kSetElementValue, "Profile contains invalid network type");
      Invalidate();
      continue;
    }
    network_slots_.push_back(slot);
    bool& seen = (in_knox_policy_ ? knox_policy_seen_ : policy_seen_)[slot];
    if (seen) {
      OB_LOG_AS(LOG_ERROR, kSetElementValue,
                "Multiple collection policies for the same network type encountered");
      Invalidate();
    }
    seen = true;
  }
}

void CORVProfile::StoreType(const std::wstring& text) {
  if (type_given_) {
    OB_LOG_AS(LOG_ERROR, kSetElementValue, "Multiple types for same network type encountered");
    Invalidate();
    return;
  }
  type_given_ = true;
  if (EqualsIgnoreCase(text, L"exclude")) {
    field_mode_ = kFieldModeExclude;
  } else if (EqualsIgnoreCase(text, L"include")) {
    field_mode_ = kFieldModeInclude;
    default_exclude_ = false;
  } else {
    Invalidate();  // silently
  }
}

void CORVProfile::StoreFields(const std::wstring& text, bool anonymise) {
  if (anonymise) {
    field_mode_ = kFieldModeAnonymise;  // stays for the rest of the policy
  }
  for (const std::wstring_view item : orv::config::SplitAtCommas(text)) {
    std::int32_t field_id = 0;
    if (!orv::config::ReadInt32(item, field_id)) {
      OB_LOG_AS(LOG_ERROR, kSetElementValue, "Profile contains invalid field");
      Invalidate();
      continue;
    }
    scratch_fields_[field_id] = field_mode_;
  }
  for (const std::size_t slot : network_slots_) {
    DataCollectionPolicy& policy = (in_knox_policy_ ? knox_policies_ : policies_)[slot];
    policy.default_exclude = default_exclude_;
    policy.field_map = scratch_fields_;
  }
}

std::vector<std::shared_ptr<FilterEngine>> CORVProfile::CurrentEngines() const {
  std::vector<std::shared_ptr<FilterEngine>> engines;
  const std::lock_guard lock(mutex_);
  const auto& policies = in_knox_policy_ ? knox_policies_ : policies_;
  engines.reserve(network_slots_.size());
  for (const std::size_t slot : network_slots_) {
    engines.push_back(policies[slot].filter_engine);
  }
  return engines;
}
