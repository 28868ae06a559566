// Fakes for the interface manager's and DNS cache's tests: an adapter table held in memory and a
// trusted network detector whose answers the test sets.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "netif/adapter_table.h"
#include "netif/network_change_source.h"

namespace orv::test {

inline AdapterAddress V4(std::string text, std::uint8_t prefix = 24) {
  return {AF_INET, std::move(text), prefix, false};
}
inline AdapterAddress V6(std::string text, bool temporary = false) {
  return {AF_INET6, std::move(text), 64, temporary};
}

// An up Ethernet link with a hardware address derived from its index.
inline AdapterEntry Link(std::uint32_t index, std::string name,
                         std::vector<AdapterAddress> addresses) {
  AdapterEntry entry;
  entry.index = index;
  entry.name = std::move(name);
  entry.up = true;
  entry.link_type = kLinkTypeEthernet;
  entry.hardware_address = {0x02, 0x00, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(index)};
  entry.addresses = std::move(addresses);
  return entry;
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
    const std::lock_guard lock(mutex_);
    failure = ssid_failure_;
    error = failure == SsidFailure::kNone || failure == SsidFailure::kNotConnected ? 0 : 2;
    ssid = failure == SsidFailure::kNone ? ssid_ : std::wstring();
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
  void SetSsid(std::wstring ssid, SsidFailure failure) {
    const std::lock_guard lock(mutex_);
    ssid_ = std::move(ssid);
    ssid_failure_ = failure;
  }
  [[nodiscard]] int Reads() const {
    const std::lock_guard lock(mutex_);
    return reads_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<AdapterEntry> adapters_;
  std::deque<OB_STATUSCODE> failures_;
  std::wstring ssid_ = L"Office";
  SsidFailure ssid_failure_ = SsidFailure::kNone;
  int reads_ = 0;
};

class FakeDetector : public INetworkChangeSource {
 public:
  [[nodiscard]] int GetNetworkType() const override { return network_type; }
  [[nodiscard]] bool IsVpnConnected() const override { return vpn_connected; }
  [[nodiscard]] OB_STATUSCODE RegisterForNetworkChange(
      IORVNetworkChangeObserver* observer) override {
    if (register_status == kObSuccess) {
      registered = observer;
    }
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
