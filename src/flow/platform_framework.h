// The agent's view of flow collection: the platform framework that switches the driver's flow
// reports on and off and owns the channel they arrive on, and the receiver of those reports.
#pragma once

#include <cstdint>
#include <memory>

#include "common/status.h"
#include "driver/kdf_message.h"

// Receives the messages of the flow data channel; implemented by the agent. Both operations run
// on the channel's I/O thread, one message at a time.
class IKdfMessageSink {
 public:
  virtual ~IKdfMessageSink() = default;
  virtual void OnFlowUpdate(std::shared_ptr<const KdfFlowData> message) = 0;
  virtual void OnPidInfo(std::shared_ptr<const KdfPidInfo> message) = 0;
};

// Operations in the order of their slots. Every failing driver request answers kObFailure.
class IPlatformFramework {
 public:
  virtual ~IPlatformFramework() = default;
  // Makes the driver send flow reports to the flow data channel.
  [[nodiscard]] virtual OB_STATUSCODE EnableAppFlow() = 0;
  // Makes the driver stop sending flow reports.
  [[nodiscard]] virtual OB_STATUSCODE DisableAppFlow() = 0;
  // Stops and releases the flow data channel; nothing happens when there is none.
  virtual void UninitializeListener() = 0;
  // Opens and starts the flow data channel, delivering to agent, which must outlive the channel;
  // kObFailure for a null agent or a channel that cannot bind or start.
  [[nodiscard]] virtual OB_STATUSCODE Initialize(IKdfMessageSink* agent) = 0;
  // Tells the driver library to release the plugin.
  [[nodiscard]] virtual OB_STATUSCODE Uninitialize() = 0;
  // Remembers the interim report interval and passes it to the driver.
  [[nodiscard]] virtual OB_STATUSCODE SetFlowReportInterval(std::uint32_t seconds) = 0;
  // Tells the driver that the endpoint's interfaces changed.
  [[nodiscard]] virtual OB_STATUSCODE NotifyNetworkChange() = 0;
};
