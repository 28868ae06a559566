// The service profile: the agent's only configuration, read from ORV_ServiceProfile.xml.
//
// There is one process-wide CORVProfile (GetInstance). A load parses the file into a fresh
// scratch CORVProfile, which validates values as they are stored (clamping out-of-range numbers
// with a log line; some errors make the whole profile invalid and stop further storing), and
// copies the scratch into the process-wide profile only when the document was well-formed and
// valid: a rejected profile never replaces the one in force.
//
// Elements are recognised by local name (case-sensitive) wherever they stand; a value element
// acts on the text that directly follows its start tag, a container (DataCollectionPolicy,
// Policy, Knox) on its start tag itself, so line breaks and empty-element tags change nothing.
// Within a Policy, NetworkType comes before Type, Fields, AnonFields and FlowFilterRules, and
// Type before the field lists.
//
// Threads: loads are serialised by one mutex. Settings are guarded by settings_mutex_ and the
// policy arrays and the parse state that CopyFrom copies by mutex_; every public operation is safe
// from any thread. The IXmlObject calls belong to the thread parsing into a scratch profile.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "common/trusted_network.h"
#include "config/data_collection_policy.h"
#include "config/xml_object.h"

class CExpatSaxParser;

// CollectionMode values: on which networks flows are collected.
inline constexpr std::int32_t kCollectionModeOff = 0;
inline constexpr std::int32_t kCollectionModeTrusted = 1;
inline constexpr std::int32_t kCollectionModeUntrusted = 2;
inline constexpr std::int32_t kCollectionModeAll = 3;

// Policy slots, by network type; the fallback slot is never written and keeps everything.
inline constexpr std::size_t kPolicySlotVpn = 0;
inline constexpr std::size_t kPolicySlotTrusted = 1;
inline constexpr std::size_t kPolicySlotUntrusted = 2;
inline constexpr std::size_t kPolicySlotFallback = 3;
inline constexpr std::size_t kPolicySlots = 4;

// The stored settings, with their defaults.
struct ProfileSettings {
  std::wstring collector_ip;
  std::uint32_t collector_port = 0;
  std::int32_t collection_mode = kCollectionModeOff;
  bool broadcast = false;
  bool multicast = false;
  bool knox_only = false;
  std::uint32_t flow_report_interval = 999;       // IPFIXInterval, seconds; 999: not given
  std::uint32_t aggregation_timeout = 5000;       // milliseconds
  std::uint32_t throttle_rate = 64000;            // Kbps x 128
  std::uint32_t template_report_interval = 1440;  // minutes
  std::uint16_t cache_size = 50;                  // MB; 999: no size control
  bool cache_size_given = false;
  std::uint16_t cache_duration = 999;  // days; 999: no duration control
  std::wstring pattern;                // troubleshooting pattern
  bool pattern_set = false;
};

class CORVProfile final : public IXmlObject {
 public:
  // A profile with the default settings and default policies (what a load parses into).
  CORVProfile();
  CORVProfile(const CORVProfile&) = delete;
  CORVProfile& operator=(const CORVProfile&) = delete;

  // The process-wide profile, created with defaults on first use; lives to process exit.
  [[nodiscard]] static CORVProfile& GetInstance();

  // Loads GetProfilePath() into the process-wide profile: 0 when the file was read and valid,
  // else -9999 (and the profile in force stays as it was).
  [[nodiscard]] static OB_STATUSCODE LoadProfile();
  // As LoadProfile, from the file at path.
  [[nodiscard]] static OB_STATUSCODE LoadProfile(const std::wstring& path);
  // As LoadProfile, from a document held in memory.
  [[nodiscard]] static OB_STATUSCODE LoadProfileFromBuffer(std::string_view document);
  // The ORV data directory + "/ORV_ServiceProfile.xml".
  [[nodiscard]] static std::wstring GetProfilePath();
  // Whether the last load succeeded (false before the first one).
  [[nodiscard]] static bool IsProfileValid() noexcept;
  // Whether port is a usable UDP port number (below 65536).
  [[nodiscard]] static bool IsValidPort(std::uint64_t port) noexcept { return port < 65536; }

  // Restores the default settings, except the collector address and port; policies stay.
  void ResetToDefaults();
  // Copies other's settings and its policies for the vpn, trusted and untrusted slots (both
  // regular and Knox); the fallback slot stays a default policy.
  void CopyFrom(const CORVProfile& other);

  // The detector that GetCurrentDataCollectionPolicy asks about the network; it must outlive its
  // use. With none (null), the network counts as unknown.
  void SetTrustedNetworkState(const ITrustedNetworkState* state) noexcept;

  // The policy for the current network: the vpn slot while the network is trusted and the VPN
  // tunnel is up (the trusted slot when the vpn slot lists no fields), else the slot of the
  // network type. Loads the profile first when it is not valid; when that fails, the policies
  // of the last valid profile stay in force. knox selects the Knox policies.
  [[nodiscard]] DataCollectionPolicy GetCurrentDataCollectionPolicy(bool knox = false);
  // The policy in a slot (below kPolicySlots), regular or Knox.
  [[nodiscard]] DataCollectionPolicy GetPolicy(std::size_t slot, bool knox) const;

  // All settings at once, consistent with each other.
  [[nodiscard]] ProfileSettings GetSettings() const;
  [[nodiscard]] std::wstring GetCollectorIP() const;
  [[nodiscard]] std::uint32_t GetCollectorPort() const;
  [[nodiscard]] std::int32_t GetCollectionMode() const;
  [[nodiscard]] bool IsBroadcastAllowed() const;
  [[nodiscard]] bool IsMulticastAllowed() const;
  [[nodiscard]] bool IsKnoxOnly() const;
  [[nodiscard]] std::uint32_t GetFlowReportInterval() const;
  [[nodiscard]] std::uint32_t GetTemplateReportInterval() const;
  [[nodiscard]] std::uint32_t GetAggregationTimeout() const;
  [[nodiscard]] std::uint32_t GetThrottleRate() const;
  [[nodiscard]] std::uint16_t GetCacheSize() const;
  [[nodiscard]] std::uint16_t GetCacheDuration() const;
  [[nodiscard]] std::wstring GetPattern() const;
  [[nodiscard]] bool IsPatternSet() const;

  // IXmlObject (the scratch profile's parsing thread)
  void StartElement(const std::wstring& name) override;
  void EndElement(const std::wstring& name) override;
  void SetElementValue(const std::wstring& text) override;

 private:
  using Parse = std::function<OB_STATUSCODE(CExpatSaxParser&)>;

  // Whether a rejected profile may be read again: true once per change of the file.
  [[nodiscard]] static bool RetryDue();
  // Loads through parse under the load mutex; the common part of the LoadProfile forms.
  [[nodiscard]] static OB_STATUSCODE Load(const Parse& parse);
  // Parses into a scratch profile and copies it in when well-formed and valid; the parse status.
  [[nodiscard]] static OB_STATUSCODE invokeParser(const Parse& parse);

  template <typename T>
  [[nodiscard]] T Read(T ProfileSettings::*member) const {
    const std::lock_guard lock(settings_mutex_);
    return settings_.*member;
  }

  // Element handlers; each returns true when it recognised the element.
  bool StoreSetting(const std::wstring& element, const std::wstring& text);
  bool StorePolicyElement(const std::wstring& element, const std::wstring& text);
  void StartContainer(const std::wstring& element);
  void StorePort(const std::wstring& text);
  void StoreCollectionMode(const std::wstring& text);
  void StoreNetworkTypes(const std::wstring& text);
  void StoreType(const std::wstring& text);
  void StoreFields(const std::wstring& text, bool anonymise);

  // The filter engines of the policies being read (every slot of the network type list).
  [[nodiscard]] std::vector<std::shared_ptr<FilterEngine>> CurrentEngines() const;

  std::atomic<const ITrustedNetworkState*> network_state_{nullptr};

  mutable std::mutex settings_mutex_;
  ProfileSettings settings_;  // guarded by settings_mutex_

  mutable std::mutex mutex_;  // CopyFrom takes this profile's, then the other's (scoped_lock)
  std::array<DataCollectionPolicy, kPolicySlots> policies_;       // guarded by mutex_
  std::array<DataCollectionPolicy, kPolicySlots> knox_policies_;  // guarded by mutex_
  // Parse state copied by CopyFrom; guarded by mutex_.
  std::int32_t field_mode_ = kFieldModeInclude;
  bool type_given_ = false;
  bool default_exclude_ = true;
  std::array<bool, 3> policy_seen_{};
  std::array<bool, 3> knox_policy_seen_{};

  // Parse state, parsing thread only.
  std::wstring current_element_;
  bool in_knox_policy_ = false;
  bool in_filter_rules_ = false;
  std::vector<std::size_t> network_slots_;  // network type list of the policy being read
  std::map<std::int32_t, std::int32_t> scratch_fields_;
};
