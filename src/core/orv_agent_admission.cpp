// Flow admission: the agent's two flow data channel callbacks. Both run on the channel's thread.
#include <array>
#include <string_view>

#include "cache/cache_engine.h"
#include "common/operator_counters.h"
#include "config/data_collection_policy.h"
#include "config/orv_profile.h"
#include "context/orv_context_manager.h"
#include "core/orv_agent.h"
#include "core/orv_utils.h"
#include "runtime/logger.h"

namespace {

constexpr int kNoDropReason = -1;
constexpr int kDropBroadcast = 0;
constexpr int kDropMulticast = 1;
constexpr int kDropLinkLocal = 2;
constexpr int kDropLoopback = 3;

// Texts of the drop reasons, by code; admission produces codes 0 to 3, the rest only name reasons.
constexpr std::array<const char*, 8> kDropReasonTexts = {"Broadcast address",
                                                         "Multicast address",
                                                         "Linklocal address",
                                                         "Loopback address",
                                                         "Destination port 0",
                                                         "Non knox traffic",
                                                         "Invalid protocol (Non-TCP/UDP traffic)",
                                                         "Unknown reasons"};

// The operator counter of each drop reason admission produces (codes 0 to 3).
constexpr std::array<FlowCounter, 4> kDropReasonCounters = {
    FlowCounter::kDroppedBroadcast, FlowCounter::kDroppedMulticast, FlowCounter::kDroppedLinkLocal,
    FlowCounter::kDroppedLoopback};

}  // namespace

// The flow's source and destination address texts, by the direction byte, and its wire family.
struct CORVAgent::FlowAddresses {
  explicit FlowAddresses(const KdfFlowData& message)
      : family(message.IsIPv4() ? kKdfFamilyIPv4 : kKdfFamilyIPv6) {
    const bool remote_is_source = message.direction == kKdfDirectionRemoteIsSource;
    // Without allocating; an unformattable address gives "".
    (void)FormatKdfAddress(remote_is_source ? message.remote : message.local, message.IsIPv4(),
                           source);
    (void)FormatKdfAddress(remote_is_source ? message.local : message.remote, message.IsIPv4(),
                           destination);
  }
  [[nodiscard]] std::string_view Source() const { return source.data(); }
  [[nodiscard]] std::string_view Destination() const { return destination.data(); }

  std::uint32_t family;
  std::array<char, kKdfAddressTextSize> source{};
  std::array<char, kKdfAddressTextSize> destination{};
};

void CORVAgent::OnFlowUpdate(std::shared_ptr<const KdfFlowData> message) {
  if (!message) {
    return;
  }
  if (message->pid == own_pid_) {
    COperatorCounters::Instance().Add(FlowCounter::kDroppedOwnProcess);
    return;  // the agent never reports its own traffic
  }
  const FlowAddresses addresses(*message);
  const int reason = dropReason(addresses);
  if (reason != kNoDropReason) {
    COperatorCounters::Instance().Add(kDropReasonCounters[static_cast<std::size_t>(reason)]);
  }
  const bool pattern_set = CORVProfile::GetInstance().IsPatternSet();
  if (reason != kNoDropReason && !pattern_set) {
    return;
  }
  const std::shared_ptr<ORVFlowObject> pid_record = pid_table_.Find(message->pid);
  const std::shared_ptr<ORVFlowObject> flow = record_builder_.FromFlowData(*message, pid_record);
  if (!flow) {
    return;
  }
  if (reason != kNoDropReason) {
    if (flow->tracked) {
      OB_LOG_DEBUG("Dropping flow with id: %d as per policy because it contained - %s",
                   flow->flow_id, kDropReasonTexts[static_cast<std::size_t>(reason)]);
    }
    return;
  }
  const std::scoped_lock lock(lock_);
  if (shutting_down_) {
    return;
  }
  admitLocked(flow, *message);
}

int CORVAgent::dropReason(const FlowAddresses& addresses) const {
  const CORVProfile& profile = CORVProfile::GetInstance();
  const auto either = [&addresses](auto&& rule) {
    return rule(addresses.Source()) || rule(addresses.Destination());
  };
  if (!profile.IsBroadcastAllowed() &&
      either([](std::string_view text) { return ORVUtils::CheckBroadcast(text); })) {
    return kDropBroadcast;
  }
  const std::uint32_t family = addresses.family;
  if (!profile.IsMulticastAllowed() &&
      either([family](std::string_view text) { return ORVUtils::CheckMulticast(text, family); })) {
    return kDropMulticast;
  }
  if (either([family](std::string_view text) { return ORVUtils::CheckLinkLocal(text, family); })) {
    return kDropLinkLocal;
  }
  if (either([](std::string_view text) { return ORVUtils::CheckLoopback(text); })) {
    return kDropLoopback;
  }
  return kNoDropReason;
}

void CORVAgent::admitLocked(const std::shared_ptr<ORVFlowObject>& flow,
                            const KdfFlowData& message) {
  if (context_manager_) {
    context_manager_->OnFlow(flow);
  }
  DataCollectionPolicySnapshot policy;
  const bool keep = ApplyPolicy(*flow, &policy);
  if (!keep) {
    COperatorCounters::Instance().Add(FlowCounter::kDroppedPolicyFilter);
  }
  if (keep && policy) {
    BlankExcludedFields(*flow, *policy);
    AnonymiseFields(*flow, *policy);
  }
  if (collection_allowed_ && keep) {
    const std::uint32_t flow_id = flow->flow_id;
    const bool tracked = flow->tracked;
    if (const OB_STATUSCODE status = flow_queue_.Push(flow); status == kObSuccess) {
      if (tracked) {
        OB_LOG_DEBUG("Sucessfully pushed flow with Id: %d to exporter/cache.", flow_id);
      }
    } else {
      handleQueueFailure(*flow, status);
    }
  }
  if (message.report_kind == kKdfReportKindFinal) {
    (void)collectandReportStatstoPhoneHome();
  }
}

void CORVAgent::handleQueueFailure(const ORVFlowObject& flow, OB_STATUSCODE status) {
  if (status == kObQueueFull) {
    COperatorCounters::Instance().Add(FlowCounter::kQueueFull);
  }
  if (exporter_ && exporterSettledNotRunning() && flow_collection_on_) {
    OB_LOG_ERROR("Exporter not running. Turning off flow collection.");
    collection_stopped_for_exporter_ = true;
    (void)stopFlowCollection();
  }
  if (flow.tracked) {
    OB_LOG_DEBUG("Dropping flow with Id: %d as Q insertion failed due to %s.", flow.flow_id,
                 status == kObQueueFull ? "Q Full" : "Unknown error");
  }
}

bool CORVAgent::exporterSettledNotRunning() const {
  // While the collector is unusable (resolution failed, sends given up) the cache engine drains
  // the queue; only a stopped exporter thread leaves it undrained.
  return !exporter_->IsRunning();
}

void CORVAgent::OnPidInfo(std::shared_ptr<const KdfPidInfo> message) {
  if (!message || message->pid == own_pid_) {
    return;
  }
  const std::scoped_lock lock(lock_);
  if (shutting_down_) {
    return;
  }
  if (const std::shared_ptr<ORVFlowObject> stored = pid_table_.Find(message->pid)) {
    if (stillDescribes(*stored)) {
      return;
    }
    pid_table_.Erase(message->pid);
  }
  std::shared_ptr<ORVFlowObject> record = record_builder_.FromPidInfo(*message);
  if (!record) {
    return;
  }
  // Not offered to the context: only processes that make a flow are network apps.
  pid_table_.Insert(message->pid, record);
}

bool CORVAgent::stillDescribes(const ORVFlowObject& stored) {
  std::string hash;
  if (record_builder_.CurrentProcessHash(stored.process_id, hash) != kObSuccess ||
      hash != stored.process_hash) {
    return false;
  }
  // The same image may now run under another user (a set-uid without exec).
  std::wstring user;
  return record_builder_.CurrentProcessUser(stored.process_id, user) == kObSuccess &&
         user == stored.process_user_name;
}
