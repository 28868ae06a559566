#include "trust/vpn_state_reader.h"

#include <cstring>
#include <exception>
#include <utility>

#include "runtime/agent_thread.h"
#include "runtime/log_limiter.h"
#include "runtime/logger.h"

namespace {

constexpr std::uint32_t kEventWaitMs = 500;
constexpr std::chrono::milliseconds kEventRetryPause{500};
constexpr int kMaxFollowUpReads = 10;
// The pause after a wake that brought nothing new: an event left set (a writer that died inside
// its pulse) wakes every wait at once, and waiting again straight away would spin.
constexpr std::chrono::milliseconds kIdleWakePause{100};

}  // namespace

CInterModuleVPNStateReader::CInterModuleVPNStateReader(bool& ok,
                                                       OBPlatform::VpnStateObjectNames names)
    : CInterModuleVPNStateReaderWriter(ok, kVpnStateRoleReader, std::move(names)),
      current_(MakeInitialVPNSharedState()) {}

CInterModuleVPNStateReader::~CInterModuleVPNStateReader() { Stop(); }

OB_STATUSCODE CInterModuleVPNStateReader::Start() {
  if (thread_.joinable()) {
    OB_LOG_ERROR("Inter module VPN state reader already started");
    return kObAlreadyRunning;
  }
  try {
    bool event_ok = false;
    auto event = std::make_unique<CInterProcessSync>(kVpnStateRoleReader, SYNC_OBJECT_EVENT,
                                                     event_ok, names());
    if (!event_ok) {
      OB_LOG_ERROR("Unable to initialize the inter module sync event");
      return kObFailure;
    }
    sync_event_ = std::move(event);
    auto first = std::make_unique<VPNSharedState>();
    if (readCurrentVpnState(*first)) {
      const std::lock_guard lock(current_mutex_);
      current_ = std::move(first);
    } else {
      OB_LOG_ERROR("Unable to fetch the current VPN state");
    }
    stop_ = false;
    thread_ = OBRuntime::StartAgentThread(&CInterModuleVPNStateReader::thread_Proc, this);
  } catch (const std::exception& e) {
    OB_LOG_ERROR("Caught exception: %s", e.what());
    return kObFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE CInterModuleVPNStateReader::Stop() {
  {
    const std::lock_guard lock(stop_mutex_);
    stop_ = true;
  }
  stop_changed_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
  return kObSuccess;
}

OB_STATUSCODE CInterModuleVPNStateReader::RegisterForVpnStateChangeNotification(
    IVpnStateChangeObserver* observer) {
  if (observer == nullptr) {
    OB_LOG_ERROR("Bad Parameter Passed, Slot to be signalled NULL");
    return kObBadArgument;
  }
  try {
    const std::lock_guard lock(observers_mutex_);
    if (observers_.contains(observer)) {
      return kObSuccess;
    }
    observers_.emplace(observer,
                       state_changed_.connect([observer] { observer->OnVPNModuleStateChanged(); }));
  } catch (const std::exception& e) {
    OB_LOG_ERROR("Failed to connect the signal to the passed slot as %s", e.what());
    return kObFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE CInterModuleVPNStateReader::DeRegisterForVpnStateChangeNotification(
    IVpnStateChangeObserver* observer) {
  if (observer == nullptr) {
    OB_LOG_ERROR("Bad Parameter Passed, Slot to be signalled NULL");
    return kObBadArgument;
  }
  try {
    const std::lock_guard lock(observers_mutex_);
    const auto found = observers_.find(observer);
    if (found != observers_.end()) {
      found->second.disconnect();
      observers_.erase(found);
    }
  } catch (const std::exception& e) {
    OB_LOG_ERROR("Failed to disconnect the signal to the passed slot as %s", e.what());
    return kObFailure;
  }
  return kObSuccess;
}

void CInterModuleVPNStateReader::CopyCurrentState(VPNSharedState& state) const {
  const std::lock_guard lock(current_mutex_);
  std::memcpy(&state, current_.get(), sizeof(VPNSharedState));
}

bool CInterModuleVPNStateReader::readCurrentVpnState(VPNSharedState& state) {
  return GetCurrentState(state);
}

void CInterModuleVPNStateReader::publish(const VPNSharedState& fresh, VPNSharedState& local) {
  std::memcpy(&local, &fresh, sizeof(VPNSharedState));
  {
    const std::lock_guard lock(current_mutex_);
    std::memcpy(current_.get(), &fresh, sizeof(VPNSharedState));
  }
  try {
    state_changed_();
  } catch (const std::exception& e) {
    OB_LOG_ERROR("Caught exception: %s", e.what());
  }
}

bool CInterModuleVPNStateReader::sleepUnlessStopped(std::chrono::milliseconds pause) {
  std::unique_lock lock(stop_mutex_);
  return stop_changed_.wait_for(lock, pause, [this] { return stop_.load(); });
}

void CInterModuleVPNStateReader::thread_Proc() {
  // Both copies live on the heap: a record is 155 KiB.
  auto local = std::make_unique<VPNSharedState>();
  auto fresh = std::make_unique<VPNSharedState>();
  CopyCurrentState(*local);
  while (!stop_) {
    if (!sync_event_->initEvent()) {
      sleepUnlessStopped(kEventRetryPause);
      continue;
    }
    const bool announced = sync_event_->Wait(kEventWaitMs);
    if (stop_) {
      break;
    }
    if (!readCurrentVpnState(*fresh)) {
      if (announced) {
        OB_LOG_LIMITED(LOG_ERROR,
                       "VPN notified the state/tnd change but unable to read the change");
        sleepUnlessStopped(kIdleWakePause);
      }
      continue;
    }
    // The change test decides, woken or not: a pulse sent while we were not waiting is lost (the
    // time-out re-read catches its change), and a wake may bring nothing new.
    if (!VPNStateDiffers(*fresh, *local)) {
      if (announced) {
        sleepUnlessStopped(kIdleWakePause);
      }
      continue;
    }
    publish(*fresh, *local);
    for (int read = 0; read < kMaxFollowUpReads && !stop_; ++read) {
      if (!readCurrentVpnState(*fresh)) {
        OB_LOG_LIMITED(LOG_ERROR,
                       "VPN notified the state/tnd change but unable to read the change");
        break;
      }
      if (!VPNStateDiffers(*fresh, *local)) {
        break;
      }
      publish(*fresh, *local);
    }
  }
}
