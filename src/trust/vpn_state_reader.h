// The agent's reader of the VPN module's shared state: a thread that waits for the named event,
// copies the record when it is announced and tells its observers.
//
// The event is pulsed, so a change announced while the thread is not waiting (reading, or busy
// in an observer) would be missed. The thread therefore also re-reads the block on every 500 ms
// time-out. Woken or not, only a difference in the first five words (the change test) counts as
// a change; after each change it re-reads up to ten times to catch changes in quick succession.
// A wake that brings nothing new is followed by a short pause, so an event left set (a writer
// that died inside its pulse) cannot make the thread spin.
//
// Threads: Start and Stop belong to the owner's thread. Observers are called on the reader
// thread; register and deregister from any thread. CopyCurrentState is safe from any thread.
#pragma once

#include <atomic>
#include <boost/signals2/signal.hpp>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "common/status.h"
#include "common/vpn_shared_state.h"
#include "platform/vpn_state_objects.h"
#include "trust/inter_process_sync.h"
#include "trust/vpn_state_reader_writer.h"

class IVpnStateChangeObserver {
 public:
  virtual ~IVpnStateChangeObserver() = default;
  // The shared record changed; called on the reader thread.
  virtual void OnVPNModuleStateChanged() = 0;
};

class CInterModuleVPNStateReader final : public CInterModuleVPNStateReaderWriter {
 public:
  // Attaches to the shared block as a reader (role 0, writes nothing); ok reports success.
  explicit CInterModuleVPNStateReader(bool& ok, OBPlatform::VpnStateObjectNames names = {});
  ~CInterModuleVPNStateReader() override;

  // Opens the event, reads the first record and starts the thread: 0; -9999 when the event
  // cannot be opened or the thread not started; -9993 when running already.
  [[nodiscard]] OB_STATUSCODE Start();
  // Stops and joins the thread (within about half a second); 0. Never call from an observer.
  OB_STATUSCODE Stop();

  // Connects the observer's OnVPNModuleStateChanged; -9994 for null, -9999 when connecting fails.
  [[nodiscard]] OB_STATUSCODE RegisterForVpnStateChangeNotification(
      IVpnStateChangeObserver* observer);
  // Disconnects it; an observer never registered is success.
  [[nodiscard]] OB_STATUSCODE DeRegisterForVpnStateChangeNotification(
      IVpnStateChangeObserver* observer);

  // A copy of the last record read (the writer's initial values before the first read).
  void CopyCurrentState(VPNSharedState& state) const;

 private:
  void thread_Proc();
  [[nodiscard]] bool readCurrentVpnState(VPNSharedState& state);
  // Copies fresh into the thread's copy and the current record, then tells the observers.
  void publish(const VPNSharedState& fresh, VPNSharedState& local);
  // Sleeps for the pause unless Stop comes first; true when stopping.
  bool sleepUnlessStopped(std::chrono::milliseconds pause);

  std::unique_ptr<CInterProcessSync> sync_event_;  // created by Start; used by the thread only
  boost::signals2::signal<void()> state_changed_;

  std::mutex observers_mutex_;
  std::map<IVpnStateChangeObserver*, boost::signals2::connection> observers_;  // guarded

  mutable std::mutex current_mutex_;
  std::unique_ptr<VPNSharedState> current_;  // guarded by current_mutex_

  std::mutex stop_mutex_;
  std::condition_variable stop_changed_;
  std::atomic<bool> stop_{false};
  std::thread thread_;  // joinable while running; touched by the owner's thread only
};
