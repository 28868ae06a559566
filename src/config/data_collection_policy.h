// Data collection policies: which fields of a flow record are kept, blanked or anonymised, and
// (through the policy's filter engine) which whole flows are dropped.
//
// A policy is a plain value: copies share its filter engine, which is only read once built.
// A default policy (exclude policy, empty field map, empty engine) keeps every field and flow.
//
// The agent keeps three process-wide policies, each published as an immutable snapshot that is
// swapped whole under a lock, so the flow threads read them while the service thread and the
// context provider replace them:
//   profile policy  - the service profile's policy for the current network;
//   provider policy - an include policy of the fields the active context consumers need;
//   merged policy   - MergePolicies(profile, provider): which details a flow record gathers.
// Every function below is safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "common/orv_flow_object.h"
#include "common/status.h"
#include "config/filter_engine.h"

// Field modes in a policy's field map.
inline constexpr std::int32_t kFieldModeInclude = 0;  // listed by an include policy: kept
inline constexpr std::int32_t kFieldModeExclude = 1;  // listed by an exclude policy: blanked
inline constexpr std::int32_t kFieldModeAnonymise = 2;

// The flow record fields that a policy can anonymise; other fields are only kept or blanked.
inline constexpr std::array<std::int32_t, 7> kAnonymisableFlowFields = {
    kFieldLoggedInUserName,  kFieldProcessName,           kFieldProcessUserName,
    kFieldParentProcessName, kFieldParentProcessUserName, kFieldDestinationHostName,
    kFieldDnsSuffix};

struct DataCollectionPolicy {
  // True when the field is to be blanked: listed with a mode other than anonymise in an exclude
  // policy, or not listed in an include policy. An anonymised field is never blanked.
  [[nodiscard]] bool IsFieldExcluded(std::int32_t field_id) const;
  // True when the field is listed with the anonymise mode.
  [[nodiscard]] bool IsFieldAnonymised(std::int32_t field_id) const;
  // The filter engine's verdict: keep is true unless a rule drops the flow; always 0.
  [[nodiscard]] OB_STATUSCODE IsFlowAllowed(const ORVFlowObject& flow, bool& keep) const;

  // True for an exclude policy (everything is kept except what the map excludes), false for an
  // include policy (only what the map lists is kept).
  bool default_exclude = true;
  // Field identifier to field mode; blanking by policy is skipped when this is empty.
  std::map<std::int32_t, std::int32_t> field_map;
  // Never null; shared by every copy of the policy.
  std::shared_ptr<FilterEngine> filter_engine = std::make_shared<FilterEngine>();
};

using DataCollectionPolicySnapshot = std::shared_ptr<const DataCollectionPolicy>;

// A policy that collects a field when a or b collects it. The result has its own empty filter
// engine; anonymise entries of exclude policies do not carry over (they are not blanked).
[[nodiscard]] DataCollectionPolicy MergePolicies(const DataCollectionPolicy& a,
                                                 const DataCollectionPolicy& b);

// Replaces value with the lowercase hexadecimal SHA-256 of its salted UTF-8 form, so equal values
// still group; empty when hashing fails (the value is never left in clear).
void AnonymizeValue(std::wstring& value);

// Makes the profile's current data collection policy (for the current network) the profile
// policy, then recomputes the merged policy.
void RefreshProfilePolicy();
// Makes an include policy of required_fields (identifier to mode) the provider policy, then
// recomputes the merged policy.
void RefreshProviderPolicy(const std::map<std::int32_t, std::int32_t>& required_fields);
// The profile policy's verdict on the flow: true to keep it. When applied is not null it receives
// the profile policy that decided, so the caller blanks and anonymises by that same policy.
[[nodiscard]] bool ApplyPolicy(const ORVFlowObject& flow,
                               DataCollectionPolicySnapshot* applied = nullptr);

// The current process-wide policies (default policies until first refreshed); never null.
[[nodiscard]] DataCollectionPolicySnapshot GetProfilePolicy();
[[nodiscard]] DataCollectionPolicySnapshot GetProviderPolicy();
[[nodiscard]] DataCollectionPolicySnapshot GetMergedPolicy();
