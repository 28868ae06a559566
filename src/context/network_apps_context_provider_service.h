// The network apps context: tells subscribed peer modules the process id and name of every
// process that opens a network flow, once per process until the context restarts.
//
// States (the active flag):
//
//   inactive --start (a consumer connected)--> active --stop (the last consumer left)--> inactive
//
// Each transition sets the agent's context demand event. While inactive, flows are ignored and
// the service thread does not run; while active, OnFlow queues (pid, name) pairs in a queue of
// 100 (a full queue drops the pair with a log line; the process comes again with its next flow)
// and the service thread sends each pair not yet sent as a 2002 message. A restart (start, stop,
// a consumer's 3000 request) empties the sent-apps map and tells the peers with a 3001. The map
// is bounded: when full, processes that have exited are forgotten, then the longest sent.
//
// Threads: OnFlow and IsActive are safe from any thread (OnFlow runs on the admission thread);
// start, stop and OnNewMessageReceived run on the base's I/O thread; the service thread sends.
// Lock order: map_mutex_, then the base's peer lock (sending under map_mutex_).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/bounded_queue.h"
#include "common/condition_event.h"
#include "context/orv_context_provider_service.h"
#include "runtime/context_provider_service_base.h"

class CNetworkAppsContextProviderService : public IORVContextProviderService,
                                           public OBRuntime::CContextProviderServiceBase {
 public:
  static constexpr std::size_t kTupleQueueCapacity = 100;
  // Processes remembered as sent; beyond that, exited ones are forgotten, then the oldest.
  static constexpr std::size_t kMaxSentApps = 1024;

  // Listens for consumers on options.socket_path (default: the ORV data directory's socket);
  // status is kObSuccess, or the failure that left the service without a socket.
  CNetworkAppsContextProviderService(condition_event& demand_event, OB_STATUSCODE& status,
                                     OBRuntime::ContextProviderOptions options = {});
  ~CNetworkAppsContextProviderService() override;

  // IORVContextProviderService
  void OnFlow(const std::shared_ptr<const ORVFlowObject>& flow) override;
  [[nodiscard]] OB_STATUSCODE GetRequiredFields(
      std::map<std::int32_t, std::int32_t>& fields) override;
  [[nodiscard]] bool IsActive() override;

 protected:
  // OBRuntime::CContextProviderServiceBase
  void start() override;
  void stop(std::int32_t identity) override;
  void OnNewMessageReceived(const OBRuntime::IPC_MESSAGE& message) override;

 private:
  using AppTuple = std::pair<std::uint32_t, std::wstring>;

  void restartContext();
  [[nodiscard]] OB_STATUSCODE sendNotification(std::uint32_t type, const std::uint8_t* payload,
                                               std::size_t length);
  void sendNetworkApp(const AppTuple& app);
  // Makes room in sent_apps_; map_mutex_ held.
  void forgetSentApps();
  void mainThreadProc();
  // Ends the service thread if it runs and drops what it had not sent. I/O or owner's thread.
  void stopServiceThread();

  condition_event shutdown_event_{true};
  condition_event& demand_event_;
  CBoundedQueue<AppTuple> tuple_queue_{kTupleQueueCapacity};
  condition_event* push_event_ = nullptr;  // the queue's; set in the constructor
  std::atomic<bool> active_{false};
  std::thread service_thread_;  // I/O thread (start, stop) and destructor only

  std::mutex map_mutex_;
  struct SentApp {
    std::wstring name;
    std::uint64_t order = 0;  // send_counter_ when sent
  };
  std::map<std::uint32_t, SentApp> sent_apps_;  // guarded by map_mutex_; at most kMaxSentApps
  std::uint64_t send_counter_ = 0;              // guarded by map_mutex_
  std::vector<std::uint8_t> payload_buffer_;    // guarded by map_mutex_; grows, never shrinks
};
