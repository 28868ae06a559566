// Shared by the interface tests: an adapter table held in memory, a trusted network detector
// whose answers the test sets, and helpers for records and ip(8) in a test namespace.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/interface_info.h"
#include "netif/adapter_table.h"
#include "netif/network_change_source.h"
#include "runtime/text.h"
#include "support/namespace_rerun.h"
#include "support/wait.h"

namespace orv::test {

using RecordPtr = std::shared_ptr<InterfaceInfo>;

inline AdapterAddress V4(std::string text, std::uint8_t prefix = 24) {
  return {AF_INET, std::move(text), prefix, false};
}
inline AdapterAddress V6(std::string text, bool temporary = false) {
  return {AF_INET6, std::move(text), 64, temporary};
}

// An up Ethernet link with a hardware address derived from its index.
inline AdapterEntry Link(std::uint32_t index, std::string name,
                         std::vector<AdapterAddress> addresses) {
  return {index,
          std::move(name),
          "",
          true,
          kLinkTypeEthernet,
          false,
          {2, 0, 0, 0, 0, static_cast<std::uint8_t>(index)},
          std::move(addresses)};
}

// The record with this index (or, for text, this name), or null.
inline RecordPtr Find(const std::vector<RecordPtr>& list, std::uint32_t index,
                      const std::wstring& name = L"") {
  const auto found = std::find_if(list.begin(), list.end(), [&](const RecordPtr& r) {
    return name.empty() ? r->index == index : r->name == name;
  });
  return found == list.end() ? nullptr : *found;
}

// Type, name, IPv4 address/broadcast, IPv6 addresses and details on one line, so that a test
// compares what the collector is told of an interface in one place; "none" for no record.
inline std::string Describe(const RecordPtr& record) {
  if (!record) {
    return "none";
  }
  std::string text = std::to_string(record->type_code) + " " + OBRuntime::WideToUtf8(record->name) +
                     " " + record->ipv4_address + "/" + record->ipv4_broadcast;
  for (const std::string& address : record->ipv6_addresses) {
    text += " " + address;
  }
  for (const std::wstring& detail : record->detail_list) {
    text += " " + OBRuntime::WideToUtf8(detail);
  }
  return text;
}

// Runs ip(8) with these arguments; true on success, a failure with its output otherwise.
inline bool Ip(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{"ip"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const NamespaceRun run = RunCollecting(argv, {});
  EXPECT_EQ(run.exit_status, 0) << "ip failed: " << run.output;
  return run.exit_status == 0;
}

class FakeAdapterTable : public IAdapterTableSource {
 public:
  [[nodiscard]] OB_STATUSCODE ReadAdapters(std::vector<AdapterEntry>& adapters,
                                           int& error) override {
    const std::lock_guard lock(mutex_);
    ++reads_;
    adapters.clear();
    if (!failures_.empty()) {
      const OB_STATUSCODE status = failures_.front();
      failures_.pop_front();
      error = 5;
      return status;
    }
    adapters = adapters_;
    return kObSuccess;
  }
  [[nodiscard]] OB_STATUSCODE QuerySsid(std::wstring& ssid, SsidFailure& failure,
                                        int& error) override {
    failure = ssid_failure;
    error = 2;
    ssid = failure == SsidFailure::kNone ? L"Office" : L"";
    return failure == SsidFailure::kNone ? kObSuccess : kObFailure;
  }

  void Set(std::vector<AdapterEntry> adapters) {
    const std::lock_guard lock(mutex_);
    adapters_ = std::move(adapters);
  }
  // The next reads fail with these statuses, in order.
  void FailNext(std::vector<OB_STATUSCODE> statuses) {
    const std::lock_guard lock(mutex_);
    failures_.assign(statuses.begin(), statuses.end());
  }
  [[nodiscard]] int Reads() const {
    const std::lock_guard lock(mutex_);
    return reads_;
  }
  SsidFailure ssid_failure = SsidFailure::kNone;  // set before the refreshes that query it

 private:
  mutable std::mutex mutex_;
  std::vector<AdapterEntry> adapters_;
  std::deque<OB_STATUSCODE> failures_;
  int reads_ = 0;
};

class FakeDetector : public INetworkChangeSource {
 public:
  [[nodiscard]] int GetNetworkType() const override { return network_type; }
  [[nodiscard]] bool IsVpnConnected() const override { return vpn_connected; }
  [[nodiscard]] OB_STATUSCODE RegisterForNetworkChange(
      IORVNetworkChangeObserver* observer) override {
    registered = register_status == kObSuccess ? observer : nullptr;
    return register_status;
  }
  [[nodiscard]] OB_STATUSCODE DeRegisterForNetworkChange(IORVNetworkChangeObserver*) override {
    registered = nullptr;
    return kObSuccess;
  }

  std::atomic<int> network_type{1};
  std::atomic<bool> vpn_connected{false};
  std::atomic<OB_STATUSCODE> register_status{kObSuccess};
  std::atomic<IORVNetworkChangeObserver*> registered{nullptr};
};

}  // namespace orv::test
