// The flow data channel: the UDP socket on which the socket-filter driver's reports arrive.
//
// OrvUserKdfIpc binds 127.0.0.1 on its port (2056 in production; when another process holds that
// port, a free loopback port instead, which the caller hands to the driver), receives on an I/O
// thread of its own, believes only datagrams whose sending socket belongs to root or to the
// agent's account (see datagram_sender_check.h; the rest are counted and dropped), checks each
// datagram's size, version and total length, and hands every accepted message, decoded into its
// own object, to the flow data or the pid information callback. Bad datagrams are logged (rate
// limited) and dropped; the channel keeps listening. Datagrams are read up to 32 per
// system call, each into its own 1500-byte buffer, with MSG_TRUNC, so one larger than its buffer
// is recognised by its real size. The socket's kernel receive buffer is enlarged so that a burst
// of reports at an interval boundary waits in the kernel while a callback is busy instead of
// being dropped.
//
// Threads: the constructor, Start, Stop and the destructor belong to the owner's thread. The
// callbacks run on the I/O thread, one message at a time, never concurrently with each other.
// handleDatagram and processOrvData are the I/O thread's steps, public so that tests and the
// fuzz target can feed bytes without a socket; they must not run concurrently with the I/O thread.
//
// States: constructed (bound, first receive armed; datagrams wait in the socket) --Start-->
// running --Stop--> stopped --Start--> running ...; the destructor stops and closes the socket.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <thread>

#include "common/status.h"
#include "driver/kdf_message.h"
#include "flow/datagram_sender_check.h"
#include "flow/record_pool.h"

class OrvUserKdfIpc {
 public:
  using FlowDataCallback = std::function<void(std::shared_ptr<const KdfFlowData>)>;
  using PidInfoCallback = std::function<void(std::shared_ptr<const KdfPidInfo>)>;

  static constexpr std::uint16_t kDefaultPort = 2056;
  static constexpr std::size_t kReceiveBufferSize = 1500;
  // Datagrams taken from the socket per system call, each into its own receive buffer.
  static constexpr std::size_t kDatagramsPerRead = 32;
  // Kernel receive buffer asked for. The kernel doubles it and charges about 2.3 KB per
  // 1439-byte datagram, so this holds a burst of over 14,000 flow reports.
  static constexpr int kSocketReceiveBufferBytes = 16 * 1024 * 1024;
  // How long Stop waits for the I/O thread.
  static constexpr int kStopTimeoutMs = 1000;

  // Opens the socket and binds it to 127.0.0.1:port (0 picks a free port; a port another process
  // holds is logged with its holder and a free one taken instead); either callback may be empty.
  // On failure logs "socket error: %d" and sets status to kObFailure, else kObSuccess.
  OrvUserKdfIpc(std::uint16_t port, FlowDataCallback flow_data_callback,
                PidInfoCallback pid_info_callback, OB_STATUSCODE& status);
  ~OrvUserKdfIpc();
  OrvUserKdfIpc(const OrvUserKdfIpc&) = delete;
  OrvUserKdfIpc& operator=(const OrvUserKdfIpc&) = delete;

  // Starts the I/O thread; true when it runs (also when it already ran), false when it could not
  // be created. After a Stop that timed out it first waits for the old thread to end.
  [[nodiscard]] bool Start();
  // Stops the I/O service and waits up to 1000 ms for the thread; false when it did not end in
  // time (the destructor then waits for it). True when nothing was running.
  [[nodiscard]] bool Stop();

  // The bound port; 0 when binding failed.
  [[nodiscard]] std::uint16_t LocalPort() const noexcept { return local_port_; }
  // The kernel receive buffer size the socket got, in bytes; 0 when binding failed.
  [[nodiscard]] int SocketReceiveBufferBytes() const noexcept { return socket_receive_buffer_; }
  // Datagrams refused so far because their sender is not trusted; safe from any thread.
  [[nodiscard]] std::uint64_t RefusedDatagrams() const noexcept {
    return refused_.load(std::memory_order_relaxed);
  }

  // Checks one received datagram of `size` bytes (its first min(size, 1500) in datagram) and
  // passes a well-sized one to processOrvData.
  void handleDatagram(std::span<const std::uint8_t> datagram, std::size_t size);
  // Decodes one message by its type byte, checks version and total length, and calls the
  // matching callback. A flow data message must be exactly 1439 bytes, a pid information
  // message at least 8 (a longer one is read from its first 8 bytes); other types are ignored.
  void processOrvData(std::span<const std::uint8_t> message);

 private:
  void setSocketReceiveBuffer();
  // Binds 127.0.0.1:port, or a free loopback port when another process holds port.
  void bindLoopback(std::uint16_t port, boost::system::error_code& error);
  void armReceive();
  // Drains the datagrams queued in the socket, then arms the next wait.
  void onReadable(const boost::system::error_code& error);
  // Step 1 of receiving for one datagram of `bytes` bytes (its first min(bytes, 1500) in buffer)
  // from sender.
  void handleReceiveFrom(const boost::system::error_code& error, const sockaddr_in& sender,
                         std::span<const std::uint8_t> buffer, std::size_t bytes);
  void processFlowData(std::span<const std::uint8_t> message);
  void processPidInfo(std::span<const std::uint8_t> message);
  // Logs what is wrong with an accepted flow data message.
  void logFlowData(const KdfFlowData& flow);
  // Counts, for the operator, the datagrams the kernel dropped at this socket before this one.
  void countSocketDrops(const msghdr& message);
  void ioservice_thread(std::promise<void> done);

  // Set at construction, then only read.
  const FlowDataCallback flow_data_callback_;
  const PidInfoCallback pid_info_callback_;
  std::uint16_t local_port_ = 0;
  int socket_receive_buffer_ = 0;

  std::atomic<std::uint64_t> refused_{0};

  boost::asio::io_context io_service_;
  boost::asio::ip::udp::socket socket_;
  // I/O thread only (set at construction): who may send.
  std::optional<CDatagramSenderCheck> sender_check_;
  // I/O thread only: the receive buffers and the recvmmsg descriptors that point at them.
  std::array<std::array<std::uint8_t, kReceiveBufferSize>, kDatagramsPerRead> receive_buffers_;
  std::array<sockaddr_in, kDatagramsPerRead> receive_addresses_;
  std::array<iovec, kDatagramsPerRead> receive_vectors_;
  std::array<mmsghdr, kDatagramsPerRead> receive_messages_;
  // I/O thread only: SO_RXQ_OVFL control messages, and the socket's drop count last seen.
  std::array<std::array<std::uint8_t, 32>, kDatagramsPerRead> receive_controls_{};
  std::uint32_t socket_drops_seen_ = 0;
  // Flow messages are decoded into recycled objects: a message costs no allocation.
  CRecordPool<KdfFlowData> flow_messages_;

  // Owner's thread only.
  std::thread thread_;
  std::future<void> thread_done_;  // valid while thread_ is joinable
};
