// CKDF: the platform framework over the flow reporter's API library and the flow data channel.
//
// No library instance is kept between requests: each one creates an instance, opens the plugin,
// makes its one call, closes the plugin and releases the instance (Uninitialize skips the open
// and the close). The framework's own state is the channel (absent until Initialize, running
// until UninitializeListener) and the last report interval.
//
// Threads: every operation belongs to the agent's service thread; the channel's callbacks run on
// the channel's I/O thread.
#pragma once

#include <cstdint>
#include <memory>

#include "common/status.h"
#include "driver/orv_api_class_factory.h"
#include "flow/orv_user_kdf_ipc.h"
#include "flow/platform_framework.h"

class CKDF final : public IPlatformFramework {
 public:
  // Request codes of callKDFApi.
  enum Operation : int {
    kOperationEnableAppFlow = 0,
    kOperationDisableAppFlow = 1,
    kOperationNotifyNetworkChange = 2,
    kOperationSetFlowReportInterval = 3,
    kOperationUninitialize = 4,
  };

  // The process-wide framework (production factory, port 2056), created on first use.
  static CKDF& GetInstance();

  // A framework using factory (which must outlive it) and a channel on 127.0.0.1:port; port 0
  // picks a free port, which is then the one passed to the driver.
  CKDF(IOrvApiClassFactory& factory, std::uint16_t port);
  ~CKDF() override;
  CKDF(const CKDF&) = delete;
  CKDF& operator=(const CKDF&) = delete;

  // IPlatformFramework
  [[nodiscard]] OB_STATUSCODE EnableAppFlow() override;
  [[nodiscard]] OB_STATUSCODE DisableAppFlow() override;
  void UninitializeListener() override;
  [[nodiscard]] OB_STATUSCODE Initialize(IKdfMessageSink* agent) override;
  [[nodiscard]] OB_STATUSCODE Uninitialize() override;
  [[nodiscard]] OB_STATUSCODE SetFlowReportInterval(std::uint32_t seconds) override;
  [[nodiscard]] OB_STATUSCODE NotifyNetworkChange() override;

  // Runs one library request on a fresh instance; kObFailure when any step fails,
  // kObBadArgument for an unknown operation (the plugin is still opened and closed).
  [[nodiscard]] OB_STATUSCODE callKDFApi(int operation);

  // The channel's bound port, 0 while there is no channel.
  [[nodiscard]] std::uint16_t ListenerPort() const noexcept;

 private:
  [[nodiscard]] OB_STATUSCODE openPlugin(IOrvApi& api);
  [[nodiscard]] OB_STATUSCODE runOperation(IOrvApi& api, int operation);
  [[nodiscard]] OB_STATUSCODE enableAppFlow(IOrvApi& api);
  [[nodiscard]] OB_STATUSCODE disableAppFlow(IOrvApi& api);
  [[nodiscard]] OB_STATUSCODE setFlowReportInterval(IOrvApi& api);
  // Where the driver is to send: 127.0.0.1 and the channel's port.
  [[nodiscard]] OrvEndpointPair channelEndpoints() const;

  IOrvApiClassFactory& factory_;
  const std::uint16_t port_;
  std::unique_ptr<OrvUserKdfIpc> listener_;  // null until Initialize, after UninitializeListener
  std::uint32_t report_interval_ = 0;
};
