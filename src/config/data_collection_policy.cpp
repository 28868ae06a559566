#include "config/data_collection_policy.h"

#include <mutex>
#include <utility>

#include "config/orv_profile.h"
#include "runtime/sha256_hash_manager.h"
#include "runtime/text.h"

namespace {

constexpr std::wstring_view kAnonymisationSalt = L"#Q@K$Z";

bool Contains(const std::map<std::int32_t, std::int32_t>& map, std::int32_t id) {
  return map.find(id) != map.end();
}

// The three process-wide policies. Readers copy a snapshot pointer under the lock and use it
// after releasing it; writers build a new policy outside the lock and swap it in.
class ProcessPolicies {
 public:
  static ProcessPolicies& Instance() {
    static ProcessPolicies instance;
    return instance;
  }

  DataCollectionPolicySnapshot Profile() const {
    const std::lock_guard lock(mutex_);
    return profile_;
  }
  DataCollectionPolicySnapshot Provider() const {
    const std::lock_guard lock(mutex_);
    return provider_;
  }
  DataCollectionPolicySnapshot Merged() const {
    const std::lock_guard lock(mutex_);
    return merged_;
  }

  // Replaces the profile policy (or, with provider true, the provider policy) and the merged one.
  // Refreshes are serialised so that the merged policy always matches the latest pair.
  void Replace(DataCollectionPolicy policy, bool provider) {
    const std::lock_guard refresh(refresh_mutex_);
    auto replacement = std::make_shared<const DataCollectionPolicy>(std::move(policy));
    const DataCollectionPolicySnapshot profile = provider ? Profile() : replacement;
    const DataCollectionPolicySnapshot other = provider ? replacement : Provider();
    auto merged = std::make_shared<const DataCollectionPolicy>(MergePolicies(*profile, *other));
    const std::lock_guard lock(mutex_);
    (provider ? provider_ : profile_) = std::move(replacement);
    merged_ = std::move(merged);
  }

 private:
  ProcessPolicies()
      : profile_(std::make_shared<const DataCollectionPolicy>()),
        provider_(std::make_shared<const DataCollectionPolicy>()),
        merged_(std::make_shared<const DataCollectionPolicy>()) {}

  std::mutex refresh_mutex_;  // serialises Replace; taken before mutex_
  mutable std::mutex mutex_;
  DataCollectionPolicySnapshot profile_;   // guarded by mutex_
  DataCollectionPolicySnapshot provider_;  // guarded by mutex_
  DataCollectionPolicySnapshot merged_;    // guarded by mutex_
};

}  // namespace

bool DataCollectionPolicy::IsFieldExcluded(std::int32_t field_id) const {
  const auto entry = field_map.find(field_id);
  if (default_exclude) {
    return entry != field_map.end() && entry->second != kFieldModeAnonymise;
  }
  return entry == field_map.end();
}

bool DataCollectionPolicy::IsFieldAnonymised(std::int32_t field_id) const {
  const auto entry = field_map.find(field_id);
  return entry != field_map.end() && entry->second == kFieldModeAnonymise;
}

OB_STATUSCODE DataCollectionPolicy::IsFlowAllowed(const ORVFlowObject& flow, bool& keep) const {
  return filter_engine->IsAllowed(flow, keep);
}

DataCollectionPolicy MergePolicies(const DataCollectionPolicy& a, const DataCollectionPolicy& b) {
  DataCollectionPolicy merged;
  if (!a.default_exclude && !b.default_exclude) {
    merged.default_exclude = false;
    merged.field_map = a.field_map;
    merged.field_map.insert(b.field_map.begin(), b.field_map.end());  // keeps a's entries
    return merged;
  }
  merged.default_exclude = true;
  if (a.default_exclude && b.default_exclude) {
    for (const auto& [id, mode] : a.field_map) {
      const auto other = b.field_map.find(id);
      if (other != b.field_map.end() && mode != kFieldModeAnonymise &&
          other->second != kFieldModeAnonymise) {
        merged.field_map.emplace(id, mode);
      }
    }
    return merged;
  }
  const DataCollectionPolicy& exclude = a.default_exclude ? a : b;
  const DataCollectionPolicy& include = a.default_exclude ? b : a;
  for (const auto& [id, mode] : exclude.field_map) {
    if (mode != kFieldModeAnonymise && !Contains(include.field_map, id)) {
      merged.field_map.emplace(id, mode);
    }
  }
  return merged;
}

void AnonymizeValue(std::wstring& value) {
  std::wstring salted = value;
  salted += kAnonymisationSalt;
  const std::string bytes = OBRuntime::WideToUtf8(salted);
  value = OBRuntime::Utf8ToWide(
      OBRuntime::CSha256HashManagerImpl::GetHashSHA256(bytes.data(), bytes.size()));
}

void RefreshProfilePolicy() {
  ProcessPolicies::Instance().Replace(CORVProfile::GetInstance().GetCurrentDataCollectionPolicy(),
                                      false);
}

void RefreshProviderPolicy(const std::map<std::int32_t, std::int32_t>& required_fields) {
  DataCollectionPolicy provider;
  provider.default_exclude = false;
  provider.field_map = required_fields;
  ProcessPolicies::Instance().Replace(std::move(provider), true);
}

bool ApplyPolicy(const ORVFlowObject& flow, DataCollectionPolicySnapshot* applied) {
  DataCollectionPolicySnapshot policy = ProcessPolicies::Instance().Profile();
  bool keep = true;
  (void)policy->IsFlowAllowed(flow, keep);  // always 0; the answer is keep
  if (applied != nullptr) {
    *applied = std::move(policy);
  }
  return keep;
}

DataCollectionPolicySnapshot GetProfilePolicy() { return ProcessPolicies::Instance().Profile(); }

DataCollectionPolicySnapshot GetProviderPolicy() { return ProcessPolicies::Instance().Provider(); }

DataCollectionPolicySnapshot GetMergedPolicy() { return ProcessPolicies::Instance().Merged(); }
