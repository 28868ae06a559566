// The process-wide flow reporter: a thread that gathers flows from the kernel flow source (BPF
// programs that see every connection as it opens and closes) or, where that source cannot run,
// by polling the socket table at least once a second with destroy notifications; handles
// process starts as they come; and sends flow data and pid information datagrams to the flow
// data channel over UDP. Which source runs, and why, is logged once per process.
//
// States: stopped (no thread, nothing sent) --Enable--> running --Disable/destruction-->
// stopped. Enable while running only changes the destination. Each run starts with an empty
// flow table: the flows that exist then are reported from the first poll on, and the first
// /proc listing (without the process connector) is the baseline for process starts.
//
// Threads: every public operation is safe from any thread. Disable and the destructor join the
// reporter's thread, so nothing is sent once they return.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "common/status.h"
#include "driver/flow_collector.h"
#include "runtime/unique_fd.h"

namespace orv::driver {

// How often the socket table is polled when nothing asks for an earlier poll.
inline constexpr std::chrono::milliseconds kPollPeriod{1000};
// The kernel flow source's events are taken at most this often: under load one wake-up then
// serves hundreds of flows instead of one.
inline constexpr std::chrono::milliseconds kEventBatchPeriod{10};

class CFlowReporter {
 public:
  CFlowReporter();
  ~CFlowReporter();
  CFlowReporter(const CFlowReporter&) = delete;
  CFlowReporter& operator=(const CFlowReporter&) = delete;

  // Sends to destination (an IPv4 or IPv6 socket address of length bytes) from now on and starts
  // the thread when it is not running, returning once its sources are open. kObBadArgument (logged)
  // for an unusable address, kObFailure (logged) when no socket or thread can be had.
  [[nodiscard]] OB_STATUSCODE Enable(const sockaddr_storage& destination, socklen_t length);
  // Stops the thread; nothing is sent after it returns. Harmless when stopped.
  void Disable();
  // Sets the interim report interval in seconds; 0 sends final reports only.
  void SetInterval(std::uint32_t seconds);
  // Asks the thread to poll at once (a network change); ignored when stopped.
  void PollNow();

 private:
  // What the thread reads from the controlling side, copied under mutex_ once per wake-up.
  struct Settings {
    std::uint32_t interval_seconds = 0;
    bool poll_now = false;
    bool stop = false;
  };

  // The thread's body; sources_open is set once the flow and process sources are open.
  void run(std::promise<void> sources_open);
  // Blocks until deadline, a wake-up or an event source becoming readable; kernel_fd (when not
  // -1) counts only from batch_until on. dns_fd is the DNS packet socket's, or -1.
  void wait(std::chrono::steady_clock::time_point deadline, const FlowCollector& collector,
            int kernel_fd, std::chrono::steady_clock::time_point batch_until, int dns_fd) const;
  [[nodiscard]] Settings takeSettings();
  void send(const std::vector<std::uint32_t>& started, const std::vector<KdfFlowData>& reports);
  // With mutex_ held.
  void sendDatagram(const std::uint8_t* bytes, std::size_t size);

  // Set in the constructor, then read-only.
  OBRuntime::UniqueFd wake_;  // eventfd that interrupts the thread's wait

  // Serialises Enable and Disable; guards thread_.
  std::mutex control_mutex_;
  std::thread thread_;

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  Settings settings_;
  OBRuntime::UniqueFd sender_;  // valid once Enable succeeded
  sockaddr_storage destination_{};
  socklen_t destination_length_ = 0;
  bool send_failed_ = false;  // the last send failed: the next failure is not logged again
};

}  // namespace orv::driver
