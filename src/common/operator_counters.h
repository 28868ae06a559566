// What happened to flows, counted for operators: how many the channel took in or refused, what
// admission dropped and why, what was exported, cached, purged and delivered, what was lost.
//
// One process-wide set of relaxed atomic counters that every subsystem adds to (any thread, no
// lock, no allocation), and the status snapshot that the agent publishes every 10 s: as the
// systemd status line, as a JSON status file, and through orv-status as JSON or Prometheus text.
// The counter names are part of that file's format and of the Prometheus metric names.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/status.h"

enum class FlowCounter : std::size_t {
  kChannelReceived,          // datagrams taken in by the flow data channel
  kChannelRefusedSender,     // from a socket neither root's nor the agent's
  kChannelRefusedMalformed,  // wrong size, kind or content
  kChannelSocketDrops,       // datagrams the kernel dropped at the channel's full socket
  kKernelEventDrops,         // flow events that did not fit the kernel source's ring buffer
  kDroppedOwnProcess,        // admission: the agent's own flows
  kDroppedLoopback,
  kDroppedMulticast,
  kDroppedBroadcast,
  kDroppedLinkLocal,
  kDroppedPolicyFilter,  // a flow filter rule said ignore
  kQueueFull,            // "Q Full": the flow queue had no room
  kExported,             // flow records handed to the collector socket
  kSendFailures,         // messages the socket did not take
  kCached,               // flow records stored in the cache
  kCacheStoreFailed,     // flow records the cache could not store (a full disk)
  kCachePurgedAge,       // cached records deleted for their age
  kCachePurgedSize,      // cached records deleted to keep the cache under its size limit
  kCacheDelivered,       // cached records sent to the collector
  kCount
};

struct FlowCounterInfo {
  std::string_view name;  // snake_case; "orv_<name>_total" in Prometheus
  std::string_view help;
  bool lost;  // counts flows lost against the operator's wishes (not filtered ones)
};

inline constexpr std::array<FlowCounterInfo, static_cast<std::size_t>(FlowCounter::kCount)>
    kFlowCounterInfo = {{
        {"channel_received", "Flow datagrams received by the flow data channel.", false},
        {"channel_refused_sender", "Datagrams refused: the sender is not trusted.", true},
        {"channel_refused_malformed", "Datagrams refused: malformed.", true},
        {"channel_socket_drops", "Datagrams dropped at the full channel socket.", true},
        {"kernel_event_drops", "Kernel flow events lost at the full ring buffer.", true},
        {"dropped_own_process", "Flows dropped by admission: the agent's own.", false},
        {"dropped_loopback", "Flows dropped by admission: loopback.", false},
        {"dropped_multicast", "Flows dropped by admission: multicast.", false},
        {"dropped_broadcast", "Flows dropped by admission: broadcast.", false},
        {"dropped_link_local", "Flows dropped by admission: link-local.", false},
        {"dropped_policy_filter", "Flows dropped by a flow filter rule.", false},
        {"queue_full", "Flows dropped because the flow queue was full.", true},
        {"exported", "Flow records sent to the collector.", false},
        {"send_failures", "IPFIX messages the collector socket did not take.", true},
        {"cached", "Flow records stored in the cache.", false},
        {"cache_store_failed", "Flow records the cache could not store.", true},
        {"cache_purged_age", "Cached flow records deleted for their age.", true},
        {"cache_purged_size", "Cached flow records deleted for the size limit.", true},
        {"cache_delivered", "Cached flow records sent to the collector.", false},
    }};

// What the agent is doing, as the status shows it.
enum class AgentActivity : std::uint8_t {
  kStarting,
  kExporting,
  kCaching,
  kCollectionOff,
  kStopping
};

// One reading of the counters, with the state it was taken in.
struct OperatorStatus {
  std::array<std::uint64_t, static_cast<std::size_t>(FlowCounter::kCount)> counts{};
  AgentActivity activity = AgentActivity::kStarting;
  std::uint64_t cache_rows = 0;
  std::int64_t updated = 0;  // UTC seconds when taken

  [[nodiscard]] std::uint64_t Count(FlowCounter counter) const {
    return counts[static_cast<std::size_t>(counter)];
  }
  // The sum of the counters whose flows were lost.
  [[nodiscard]] std::uint64_t Lost() const;
};

class COperatorCounters {
 public:
  // The process-wide set. Safe from any thread.
  static COperatorCounters& Instance();

  void Add(FlowCounter counter, std::uint64_t count = 1) noexcept {
    counts_[static_cast<std::size_t>(counter)].fetch_add(count, std::memory_order_relaxed);
  }
  void SetActivity(AgentActivity activity) noexcept { activity_.store(activity); }
  void SetCacheRows(std::uint64_t rows) noexcept { cache_rows_.store(rows); }
  // The counters now, stamped with the given UTC time.
  [[nodiscard]] OperatorStatus Read(std::int64_t now) const;

 private:
  std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(FlowCounter::kCount)> counts_{};
  std::atomic<AgentActivity> activity_{AgentActivity::kStarting};
  std::atomic<std::uint64_t> cache_rows_{0};
};

// "exporting", "caching", ...
[[nodiscard]] std::string_view ActivityName(AgentActivity activity);
// The systemd status line: "exporting; 12,345 flows exported, 0 dropped, cache 0 rows".
[[nodiscard]] std::string FormatStatusLine(const OperatorStatus& status);
// One JSON object, one line:
// {"activity":"exporting","updated":...,"cache_rows":...,"counters":{...}}.
[[nodiscard]] std::string FormatStatusJson(const OperatorStatus& status);
// Reads what FormatStatusJson wrote; kObBadArgument for anything else (counters missing from the
// text read as 0, unknown ones are skipped, so files of other versions still read).
[[nodiscard]] OB_STATUSCODE ParseStatusJson(std::string_view text, OperatorStatus& status);
// The Prometheus text exposition format: one counter per flow counter, the cache rows and the
// update time as gauges, the activity as an info-style gauge.
[[nodiscard]] std::string FormatPrometheus(const OperatorStatus& status);
