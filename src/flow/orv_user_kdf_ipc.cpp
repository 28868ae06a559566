#include "flow/orv_user_kdf_ipc.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/socket_base.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <system_error>
#include <utility>

#include "common/operator_counters.h"
#include "platform/socket_owner.h"
#include "runtime/agent_thread.h"
#include "runtime/log_limiter.h"
#include "runtime/logger.h"

namespace {

void CountMalformed() { COperatorCounters::Instance().Add(FlowCounter::kChannelRefusedMalformed); }

// Reads per wake-up before the wait is re-armed, so a stop request is seen between batches even
// under a continuous stream.
constexpr int kReadsPerWake = 4;
constexpr std::uint32_t kProtocolTcp = 6;
constexpr std::uint32_t kProtocolUdp = 17;

}  // namespace

OrvUserKdfIpc::OrvUserKdfIpc(std::uint16_t port, FlowDataCallback flow_data_callback,
                             PidInfoCallback pid_info_callback, OB_STATUSCODE& status)
    : flow_data_callback_(std::move(flow_data_callback)),
      pid_info_callback_(std::move(pid_info_callback)),
      socket_(io_service_) {
  status = kObSuccess;
  boost::system::error_code error;
  socket_.open(boost::asio::ip::udp::v4(), error);
  if (!error) {
    socket_.set_option(boost::asio::socket_base::reuse_address(false), error);
  }
  if (!error) {
    setSocketReceiveBuffer();
    bindLoopback(port, error);
  }
  if (!error) {
    local_port_ = socket_.local_endpoint(error).port();
  }
  if (!error) {
    sockaddr_in channel{};
    channel.sin_family = AF_INET;
    channel.sin_port = htons(local_port_);
    channel.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sender_check_.emplace(channel, static_cast<std::uint32_t>(::geteuid()));
  }
  if (error) {
    OB_LOG_ERROR("socket error: %d", error.value());
    socket_.close(error);
    local_port_ = 0;
    socket_receive_buffer_ = 0;
    status = kObFailure;
    return;
  }
  armReceive();
}

OrvUserKdfIpc::~OrvUserKdfIpc() {
  static_cast<void>(Stop());
  if (thread_.joinable()) {
    thread_.join();  // a callback outlived Stop's wait; the thread must not outlive this object
  }
  boost::system::error_code ignored;
  socket_.close(ignored);
}

void OrvUserKdfIpc::setSocketReceiveBuffer() {
  const int fd = socket_.native_handle();
  const int wanted = kSocketReceiveBufferBytes;
  // SO_RCVBUFFORCE passes the system limit (net.core.rmem_max) when the process may; otherwise
  // SO_RCVBUF gets what the limit allows.
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) != 0) {
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted) != 0) {
      OB_LOG_WARN("SO_RCVBUF %d failed: errno %d", wanted, errno);
    }
  }
  socklen_t length = sizeof socket_receive_buffer_;
  if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &socket_receive_buffer_, &length) != 0) {
    socket_receive_buffer_ = 0;
  }
  OB_LOG_DEBUG("socket receive buffer %d bytes (asked for %d)", socket_receive_buffer_, wanted);
  const int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0) {
    OB_LOG_WARN("SO_RXQ_OVFL failed: errno %d; socket drops are not counted", errno);
  }
}

void OrvUserKdfIpc::bindLoopback(std::uint16_t port, boost::system::error_code& error) {
  socket_.bind({boost::asio::ip::address_v4::loopback(), port}, error);
  if (error != boost::asio::error::address_in_use || port == 0) {
    return;
  }
  // Any local user can bind the well-known port first; monitoring must not depend on winning
  // that race. The driver is told the port actually bound.
  sockaddr_in taken{};
  taken.sin_family = AF_INET;
  taken.sin_port = htons(port);
  taken.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  orv::platform::UdpSocketOwner holder;
  int os_error = 0;
  std::string holder_text = "an unknown process";
  if (orv::platform::FindUdpSocketOwner(taken, sockaddr_in{}, holder, os_error) == kObSuccess) {
    const std::string process = orv::platform::DescribeSocketHolder(holder.inode);
    holder_text = (process.empty() ? std::string("a process") : process) + " of uid " +
                  std::to_string(holder.uid);
  }
  error.clear();
  socket_.bind({boost::asio::ip::address_v4::loopback(), 0}, error);
  if (!error) {
    OB_LOG_WARN("127.0.0.1:%u is held by %s; listening on 127.0.0.1:%u instead",
                static_cast<unsigned>(port), holder_text.c_str(),
                static_cast<unsigned>(socket_.local_endpoint().port()));
  }
}

bool OrvUserKdfIpc::Start() {
  if (thread_.joinable()) {
    if (!io_service_.stopped()) {
      return true;
    }
    thread_.join();  // a stop that timed out: the old thread ends once its callback returns
  }
  if (io_service_.stopped()) {
    io_service_.restart();
  }
  try {
    std::promise<void> done;
    thread_done_ = done.get_future();
    thread_ = OBRuntime::StartAgentThread(&OrvUserKdfIpc::ioservice_thread, this, std::move(done));
  } catch (const std::exception& e) {
    OB_LOG_ERROR("Caught exception: %s.", e.what());
    return false;
  }
  return true;
}

bool OrvUserKdfIpc::Stop() {
  io_service_.stop();
  if (!thread_.joinable()) {
    return true;
  }
  if (thread_done_.wait_for(std::chrono::milliseconds(kStopTimeoutMs)) !=
      std::future_status::ready) {
    OB_LOG_WARN("ioservice_thread did not end within %d ms", kStopTimeoutMs);
    return false;
  }
  thread_.join();
  return true;
}

void OrvUserKdfIpc::ioservice_thread(std::promise<void> done) {
  OB_LOG_DEBUG("Starting ioservice_thread");
  OB_LOG_DEBUG("ioservice_thread running...");
  try {
    io_service_.run();
  } catch (const std::exception& e) {
    OB_LOG_ERROR("ioservice_thread error '%s'", e.what());
  }
  OB_LOG_DEBUG("ioservice_thread done");
  done.set_value();
}

void OrvUserKdfIpc::armReceive() {
  socket_.async_wait(boost::asio::ip::udp::socket::wait_read,
                     [this](const boost::system::error_code& error) { onReadable(error); });
}

void OrvUserKdfIpc::onReadable(const boost::system::error_code& error) {
  if (error == boost::asio::error::operation_aborted || !socket_.is_open()) {
    return;  // the socket is closing; there is nothing left to receive
  }
  for (int read = 0; !error && read < kReadsPerWake; ++read) {
    for (std::size_t i = 0; i < kDatagramsPerRead; ++i) {
      receive_vectors_[i] = {receive_buffers_[i].data(), kReceiveBufferSize};
      receive_messages_[i] = {};
      receive_messages_[i].msg_hdr.msg_name = &receive_addresses_[i];
      receive_messages_[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
      receive_messages_[i].msg_hdr.msg_iov = &receive_vectors_[i];
      receive_messages_[i].msg_hdr.msg_iovlen = 1;
      receive_messages_[i].msg_hdr.msg_control = receive_controls_[i].data();
      receive_messages_[i].msg_hdr.msg_controllen = receive_controls_[i].size();
    }
    // With MSG_TRUNC each msg_len is the datagram's real size, even when it exceeds the buffer.
    const int received = ::recvmmsg(socket_.native_handle(), receive_messages_.data(),
                                    kDatagramsPerRead, MSG_TRUNC | MSG_DONTWAIT, nullptr);
    if (received < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        handleReceiveFrom(boost::system::error_code(errno, boost::system::system_category()), {},
                          {}, 0);
      }
      break;
    }
    for (int i = 0; i < received; ++i) {
      countSocketDrops(receive_messages_[i].msg_hdr);
      handleReceiveFrom({}, receive_addresses_[i], receive_buffers_[i],
                        receive_messages_[i].msg_len);
    }
    if (static_cast<std::size_t>(received) < kDatagramsPerRead) {
      break;  // drained
    }
  }
  armReceive();
}

void OrvUserKdfIpc::handleReceiveFrom(const boost::system::error_code& error,
                                      const sockaddr_in& sender,
                                      std::span<const std::uint8_t> buffer, std::size_t bytes) {
  if (error) {
    return;  // receive errors are not logged; the caller re-arms the receive
  }
  COperatorCounters::Instance().Add(FlowCounter::kChannelReceived);
  if (!sender_check_->Admit(sender, std::chrono::steady_clock::now())) {
    COperatorCounters::Instance().Add(FlowCounter::kChannelRefusedSender);
    const std::uint64_t refused = refused_.fetch_add(1, std::memory_order_relaxed) + 1;
    OB_LOG_LIMITED(LOG_WARNING,
                   "Refused a datagram from 127.0.0.1:%u: its socket belongs to neither root nor "
                   "the agent's account (%llu refused so far)",
                   static_cast<unsigned>(ntohs(sender.sin_port)),
                   static_cast<unsigned long long>(refused));
    return;
  }
  handleDatagram(buffer.first(std::min(bytes, buffer.size())), bytes);
}

void OrvUserKdfIpc::countSocketDrops(const msghdr& message) {
  for (const cmsghdr* control = CMSG_FIRSTHDR(&message); control != nullptr;
       control = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(control))) {
    if (control->cmsg_level == SOL_SOCKET && control->cmsg_type == SO_RXQ_OVFL) {
      std::uint32_t drops = 0;
      std::memcpy(&drops, CMSG_DATA(control), sizeof drops);
      // The kernel's count only grows (modulo 2^32); the difference is what was lost since.
      COperatorCounters::Instance().Add(FlowCounter::kChannelSocketDrops,
                                        drops - socket_drops_seen_);
      socket_drops_seen_ = drops;
    }
  }
}

void OrvUserKdfIpc::handleDatagram(std::span<const std::uint8_t> datagram, std::size_t size) {
  if (size > kKdfFlowDataSize) {
    OB_LOG_LIMITED_AS(LOG_DEBUG, "OrvUserKdfIpc::handleReceiveFrom",
                      "Received %lu bytes (more than expected (%lu), ignoring data)",
                      static_cast<unsigned long>(size),
                      static_cast<unsigned long>(kKdfFlowDataSize));
    CountMalformed();
    return;
  }
  if (size != kKdfFlowDataSize && size != kKdfPidInfoSize) {
    OB_LOG_LIMITED_AS(LOG_ERROR, "OrvUserKdfIpc::handleReceiveFrom",
                      "Received %lu bytes (too little)", static_cast<unsigned long>(size));
    CountMalformed();
    return;
  }
  processOrvData(datagram.first(std::min(size, datagram.size())));
}

void OrvUserKdfIpc::processOrvData(std::span<const std::uint8_t> message) {
  KdfMessageHeader header;
  if (ParseKdfHeader(message, header) != kObSuccess) {
    CountMalformed();
    return;  // too short to carry a type: ignored like an unknown type
  }
  switch (header.type) {
    case kKdfTypeFlowData:
      processFlowData(message);
      break;
    case kKdfTypePidInfo:
      processPidInfo(message);
      break;
    default:
      CountMalformed();
      break;
  }
}

void OrvUserKdfIpc::processFlowData(std::span<const std::uint8_t> message) {
  std::shared_ptr<KdfFlowData> flow = flow_messages_.Acquire();
  if (!flow) {
    OB_LOG_LIMITED(LOG_ERROR, "out of memory decoding a flow message");
    return;
  }
  if (ParseKdfFlowData(message, *flow) != kObSuccess) {
    // An 8-byte datagram of type 1 would otherwise be read from stale buffer bytes.
    OB_LOG_LIMITED_AS(LOG_ERROR, "OrvUserKdfIpc::processOrvData",
                      "Received %lu bytes of flow data (expected %lu) - ignoring the data.",
                      static_cast<unsigned long>(message.size()),
                      static_cast<unsigned long>(kKdfFlowDataSize));
    CountMalformed();
    return;
  }
  if (flow->header.version != kKdfVersion) {
    OB_LOG_LIMITED_AS(LOG_ERROR, "OrvUserKdfIpc::processOrvData",
                      "Unknown version of the flow data: %u - ignoring the data.",
                      flow->header.version);
    CountMalformed();
    return;
  }
  if (flow->header.total_length != kKdfFlowDataSize) {
    OB_LOG_LIMITED_AS(LOG_ERROR, "OrvUserKdfIpc::processOrvData",
                      "Invalid total length in the flow data: %u - ignoring the data.",
                      flow->header.total_length);
    CountMalformed();
    return;
  }
  logFlowData(*flow);
  if (flow_data_callback_) {
    flow_data_callback_(std::move(flow));
  }
}

void OrvUserKdfIpc::logFlowData(const KdfFlowData& flow) {
  if (flow.protocol != kProtocolTcp && flow.protocol != kProtocolUdp) {
    OB_LOG_LIMITED(LOG_ERROR, "Unknown protocol in the flow data!");  // delivered all the same
  }
}

void OrvUserKdfIpc::processPidInfo(std::span<const std::uint8_t> message) {
  auto info = std::make_shared<KdfPidInfo>();
  if (ParseKdfPidInfo(message, *info) != kObSuccess) {
    OB_LOG_LIMITED_AS(LOG_ERROR, "OrvUserKdfIpc::processOrvData",
                      "Received %lu bytes of pid info (expected %lu) - ignoring the message.",
                      static_cast<unsigned long>(message.size()),
                      static_cast<unsigned long>(kKdfPidInfoSize));
    CountMalformed();
    return;
  }
  if (info->header.version != kKdfVersion) {
    OB_LOG_LIMITED_AS(LOG_ERROR, "OrvUserKdfIpc::processOrvData",
                      "Unknown version of the pid info message: %u - ignoring the message.",
                      info->header.version);
    CountMalformed();
    return;
  }
  if (info->header.total_length != kKdfPidInfoSize) {
    OB_LOG_LIMITED_AS(LOG_ERROR, "OrvUserKdfIpc::processOrvData",
                      "Invalid total length in the pid info message: %u - ignoring the message.",
                      info->header.total_length);
    CountMalformed();
    return;
  }
  if (pid_info_callback_) {
    pid_info_callback_(std::move(info));
  }
}
