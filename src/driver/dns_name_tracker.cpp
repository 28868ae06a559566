#include "driver/dns_name_tracker.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "driver/bpf/flow_events.h"
#include "runtime/log_limiter.h"

namespace orv::driver {

bool ReadDnsPacketEvent(std::span<const std::uint8_t> bytes, DnsPacket& out) {
  orv_dns_event event;
  if (bytes.size() != sizeof(event)) {
    return false;
  }
  std::memcpy(&event, bytes.data(), sizeof(event));
  const bool known = event.type == ORV_EVENT_DNS_PACKET &&
                     (event.protocol == IPPROTO_UDP || event.protocol == IPPROTO_TCP) &&
                     (event.family == AF_INET || event.family == AF_INET6);
  if (!known || event.truncated != 0 || event.length > ORV_DNS_CAPTURE_BYTES) {
    return false;
  }
  out.protocol = event.protocol;
  out.family = event.family;
  out.egress = event.egress != 0;
  std::copy_n(event.local_address, 16, out.local_address.begin());
  std::copy_n(event.remote_address, 16, out.remote_address.begin());
  out.local_port = event.local_port;
  out.remote_port = event.remote_port;
  out.pid = event.owner_tgid;
  out.payload = bytes.subspan(offsetof(orv_dns_event, payload), event.length);
  return true;
}

std::size_t DnsNameTracker::KeyHash::operator()(const Key& key) const noexcept {
  const auto word = [](const std::array<std::uint8_t, 16>& address, std::size_t at) {
    std::uint64_t value = 0;
    std::memcpy(&value, address.data() + at, sizeof(value));
    return value;
  };
  std::uint64_t hash = key.protocol | key.family << 8 | std::uint64_t{key.id} << 16 |
                       std::uint64_t{key.local_port} << 32 | std::uint64_t{key.remote_port} << 48;
  for (const std::uint64_t part : {word(key.local_address, 0), word(key.local_address, 8),
                                   word(key.remote_address, 0), word(key.remote_address, 8)}) {
    hash = (hash ^ part) * 0x9E3779B97F4A7C15ULL;
    hash ^= hash >> 29;
  }
  return static_cast<std::size_t>(hash);
}

DnsNameTracker::DnsNameTracker(DnsNameCache& cache) : cache_(cache) {}

void DnsNameTracker::Apply(const DnsPacket& packet, std::chrono::steady_clock::time_point now) {
  std::span<const std::uint8_t> message = packet.payload;
  if (packet.protocol == IPPROTO_TCP) {
    // One whole message after its two-byte length; anything else (a segment of a longer
    // message, several messages) is passed over.
    if (message.size() < 2 ||
        static_cast<std::size_t>(message[0] << 8 | message[1]) != message.size() - 2) {
      return;
    }
    message = message.subspan(2);
  }
  const bool query = packet.egress && packet.remote_port == kDnsPort;
  const bool answer = !packet.egress && packet.remote_port == kDnsPort;
  if (!query && !answer) {
    ignored_answers_ += !packet.egress;
    return;
  }
  if (!ParseDnsMessage(message, message_)) {
    OB_LOG_LIMITED(LOG_DEBUG, "ignored a malformed DNS %s of %zu bytes", query ? "query" : "answer",
                   message.size());
    return;
  }
  Key key{packet.protocol,    packet.family,        message_.id,          packet.local_port,
          packet.remote_port, packet.local_address, packet.remote_address};
  if (query && !message_.is_response) {
    asked(key, std::move(message_), now);
  } else if (answer && message_.is_response) {
    answered(key, message_, packet.pid, now);
  }
}

void DnsNameTracker::asked(const Key& key, DnsMessage&& query,
                           std::chrono::steady_clock::time_point now) {
  if (pending_.size() >= kDnsMaxPendingQueries) {
    std::erase_if(pending_,
                  [&](const auto& entry) { return now - entry.second.asked >= kDnsQueryLifetime; });
  }
  if (pending_.size() >= kDnsMaxPendingQueries && !pending_.contains(key)) {
    OB_LOG_LIMITED(LOG_DEBUG,
                   "%zu DNS queries await their answers: the name of \"%s\" will not "
                   "be learned",
                   pending_.size(), query.question.c_str());
    return;
  }
  pending_[key] = Query{std::move(query.question), query.question_type, now};
}

void DnsNameTracker::answered(const Key& key, const DnsMessage& answer, std::uint32_t pid,
                              std::chrono::steady_clock::time_point now) {
  const auto pending = pending_.find(key);
  if (pending == pending_.end() || now - pending->second.asked >= kDnsQueryLifetime ||
      pending->second.question != answer.question || pending->second.type != answer.question_type) {
    ++ignored_answers_;
    return;
  }
  pending_.erase(pending);
  if (answer.response_code != 0) {
    return;
  }
  for (const DnsAddress& address : answer.addresses) {
    cache_.Remember(pid, address, answer.question, now);
  }
}

}  // namespace orv::driver
