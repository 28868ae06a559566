// Flow record construction: turns the driver's flow data and pid information messages into
// ORVFlowObject records, completes them with process, user, DNS and interface data, thins and
// anonymises them by a data collection policy, and marks those that match the troubleshooting
// pattern as tracked.
//
// Lookups go through the process-wide caches (process facts, console user, DNS suffixes,
// interface list). A record for a process seen before costs no /proc read when the message
// carries the process's start time, else a /proc stat read or two. Records built from flow
// messages come from a pool and their texts are assigned in place, so in steady state a record
// costs no allocation. A failed lookup never loses the record: names read "Unknown", hashes 32
// zero bytes, and fill reports kObPartialFailure.
//
// Fields the merged policy excludes are not gathered where that saves a lookup (a blanked "-"
// is never replaced, excluded hashes and users are not looked up), and a record built from a
// flow message always leaves construction blanked by the merged policy, so a value taken over
// from a pid information record never slips past an exclusion.
//
// Thread use: a builder is used on one thread at a time (the flow data channel's); the sources
// it reads are safe from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/orv_flow_object.h"
#include "common/status.h"
#include "config/data_collection_policy.h"
#include "driver/kdf_message.h"
#include "flow/hosted_module_resolver.h"
#include "flow/process_info.h"
#include "flow/record_pool.h"
#include "flow/user_info.h"

// What a failed lookup leaves in a name field.
inline constexpr wchar_t kFlowUnknownText[] = L"Unknown";
// What blanking by policy leaves in a text field.
inline constexpr wchar_t kFlowBlankedText[] = L"-";

// Everything construction asks of the rest of the agent, so tests can give fakes. Borrowed
// objects must outlive the builder; an empty function or null pointer makes its lookups fail
// (or, for the policy and the pattern, gives the default policy and no pattern).
struct FlowRecordSources {
  // Process, parent, hash and account lookups (CProcessInfo).
  const ProcessInfoServices* process = nullptr;
  // The user logged on at the console.
  CUserInfo* console_user = nullptr;
  // Modules run by surrogate host processes.
  HostedModuleResolver hosted_modules;
  // The merged data collection policy (never null when set).
  std::function<DataCollectionPolicySnapshot()> merged_policy;
  // True, with the pattern, when the profile sets a troubleshooting pattern.
  std::function<bool(std::wstring& pattern)> debug_pattern;
  // The UID of the interface holding a local address (kObNotFound with 0 when none does).
  std::function<OB_STATUSCODE(const std::string& address, bool ipv4, std::uint32_t& uid)>
      interface_uid;
  // The DNS suffix of the adapter holding a local address.
  std::function<OB_STATUSCODE(const std::string& address, std::wstring& suffix)> dns_suffix;
};

class CFlowRecordBuilder {
 public:
  explicit CFlowRecordBuilder(FlowRecordSources sources);

  // Production wiring: the process-wide profile, merged policy, process cache and hasher,
  // console user, container manager, interface manager and DNS suffix cache.
  [[nodiscard]] static FlowRecordSources ProductionSources();

  // A record for a flow data message, filled, blanked by the merged policy and, when a
  // troubleshooting pattern is set, tracked when it matches. pid_record (may be null) is an
  // earlier record from a pid information message; its data fills empty fields only when its
  // process id is the message's. Null only when memory runs out.
  [[nodiscard]] std::shared_ptr<ORVFlowObject> FromFlowData(
      const KdfFlowData& message, const std::shared_ptr<const ORVFlowObject>& pid_record);
  // A record for a pid information message (parent id 0xFFFFFFFF, flow id 0), filled as far as
  // the lookups succeed. Null only when memory runs out.
  [[nodiscard]] std::shared_ptr<ORVFlowObject> FromPidInfo(const KdfPidInfo& message);

  // Completes process, hosted module, user, DNS suffix and interface data in the empty fields:
  // kObSuccess, or kObPartialFailure when some lookup failed (the record stays usable).
  [[nodiscard]] OB_STATUSCODE fill(ORVFlowObject& flow);
  // Sets flow.tracked to whether the troubleshooting pattern occurs, ignoring case, in the
  // record's addresses, names, DNS suffix, host name and hosted modules (logged when it does);
  // false when no pattern is set.
  bool matchesDebugPattern(ORVFlowObject& flow);

  // The 32 raw bytes of the SHA-256 of the image now running under pid; kObFailure (hash
  // empty) when the process cannot be read or hashed, kObMessageParked while the digest is
  // being computed.
  [[nodiscard]] OB_STATUSCODE CurrentProcessHash(std::uint32_t pid, std::string& hash);
  // The "domain\user" account now running pid; a failure leaves user empty.
  [[nodiscard]] OB_STATUSCODE CurrentProcessUser(std::uint32_t pid, std::wstring& user);

 private:
  [[nodiscard]] DataCollectionPolicySnapshot MergedPolicy() const;
  [[nodiscard]] bool DebugPattern(std::wstring& pattern) const;
  // reported_start_time: the process start time a flow message carried (0 when none).
  [[nodiscard]] OB_STATUSCODE Fill(ORVFlowObject& flow, const DataCollectionPolicy& policy,
                                   std::uint64_t reported_start_time = 0);
  // Each Fill step: true when its lookups succeeded. A null info makes process lookups fail.
  [[nodiscard]] bool FillProcess(ORVFlowObject& flow, CProcessInfo* info,
                                 const DataCollectionPolicy& policy);
  [[nodiscard]] bool FillHostedModules(ORVFlowObject& flow, CProcessInfo* info,
                                       const DataCollectionPolicy& policy);
  [[nodiscard]] bool FillUsers(ORVFlowObject& flow, CProcessInfo* info,
                               const DataCollectionPolicy& policy);
  [[nodiscard]] bool FillLoggedInUser(ORVFlowObject& flow, const DataCollectionPolicy& policy);
  [[nodiscard]] bool FillDnsSuffix(ORVFlowObject& flow);
  [[nodiscard]] bool FillInterfaceUid(ORVFlowObject& flow);

  const FlowRecordSources sources_;
  CFlowRecordPool records_;  // the records built from flow messages
};

// Blanks every field the policy excludes: texts become "-", hashes 32 zero bytes, byte counts
// and account types 0, module lists empty. Nothing happens when the policy's field map is empty.
void BlankExcludedFields(ORVFlowObject& flow, const DataCollectionPolicy& policy);
// Replaces each anonymisable text field the policy anonymises with AnonymizeValue of it.
void AnonymiseFields(ORVFlowObject& flow, const DataCollectionPolicy& policy);
