// The list of the endpoint's active network interfaces, each an InterfaceInfo with a small UID
// that survives restarts (the last UID handed out is kept in "PersistedData.dat" in the data
// directory).
// Flows carry the UID of the interface holding their local address; the collector learns what a
// UID means from the records pushed into the interface queue and from announcements of the list.
//
// Refresh (refreshInterfaceListThread): reads the adapter table, builds one record per up
// adapter with all its addresses, then under the list mutex merges each addressed wired,
// wireless or own-VPN record: same interface (index, type, name, hardware address, detail list)
// with the same addresses is unchanged, with other addresses it replaces the entry and keeps its
// UID, otherwise it is new, gets the next unused non-zero UID and is queued. Entries not seen
// are dropped at the sixth refresh that misses them. Refreshes run one at a time (refresh
// mutex); the UID counter is loaded, used and stored inside that one refresh.
//
// Threads: Start and Stop from the controlling thread; change signals on the detector's thread
// only start the refresh thread; GetInterfaceInfoUID, GetInterfaceList and
// IsInterfaceBroadcastAddress from any thread. Lock order: refresh mutex, then list mutex; the
// interface queue and observers are called with only the refresh mutex held, so an observer must
// not call GetInterfaceInfoUID or refreshInterfaceListThread (either may refresh). Queued records
// and list copies are copies, never changed after they are handed out.
//
// The detail list belongs to what the collector knows of a UID, so an interface whose trust
// state changes is listed afresh under a new UID; its old entry ages out like a missing one.
#pragma once

#include <atomic>
#include <boost/signals2/signal.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/bounded_queue.h"
#include "common/interface_info.h"
#include "common/status.h"
#include "netif/adapter_table.h"
#include "netif/network_change_source.h"

using InterfaceQueue = CBoundedQueue<std::shared_ptr<InterfaceInfo>>;

class CNetworkInterfaceManager final : public IORVNetworkChangeObserver {
 public:
  class IORVInterfaceChangeObserver {
   public:
    virtual ~IORVInterfaceChangeObserver() = default;
    // An interface seen for the first time (called on the refreshing thread).
    virtual void OnInterfaceChange(const InterfaceInfo& info) = 0;
  };
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  static constexpr wchar_t kPersistedFileName[] = L"PersistedData.dat";
  static constexpr std::uint8_t kMaxMissedRefreshes = 5;
  static constexpr std::size_t kMaxIpv6Addresses = 50;
  static constexpr std::chrono::minutes kOnDemandRefreshAge{5};

  // The process-wide manager on the system's adapter table, the trusted network detector and
  // the ORV data directory.
  static CNetworkInterfaceManager& GetInstance();

  CNetworkInterfaceManager(INetworkChangeSource& detector, IAdapterTableSource& adapters,
                           std::wstring data_directory,
                           Clock clock = std::chrono::steady_clock::now);
  // Stops (joins the refresh thread).
  ~CNetworkInterfaceManager() override;
  CNetworkInterfaceManager(const CNetworkInterfaceManager&) = delete;
  CNetworkInterfaceManager& operator=(const CNetworkInterfaceManager&) = delete;

  // Refreshes the list and registers for change signals; the queue must outlive the manager's
  // use of it. kObAlreadyRunning when started already; the registration's status when it fails
  // (the manager is then stopped). A failed refresh is logged and the start goes on.
  [[nodiscard]] OB_STATUSCODE Start(InterfaceQueue& queue);
  // Deregisters, refuses further refreshes and joins the refresh thread; Start may follow.
  void Stop();

  // Connect or disconnect an observer of new interfaces; kObBadArgument for null, kObFailure
  // when the signal refuses (logged).
  [[nodiscard]] OB_STATUSCODE RegisterForInterfaceChange(IORVInterfaceChangeObserver* observer);
  [[nodiscard]] OB_STATUSCODE DeRegisterForInterfaceChange(IORVInterfaceChangeObserver* observer);

  // Copies of the listed records, for announcing all interfaces.
  [[nodiscard]] std::vector<std::shared_ptr<InterfaceInfo>> GetInterfaceList() const;
  // The UID of the most recently changed interface holding the address (IPv4 address, or one
  // of the IPv6 set): kObSuccess, or kObNotFound with uid 0. A miss refreshes once first when a
  // random-suffix IPv6 address was seen and the last refresh is over five minutes old.
  [[nodiscard]] OB_STATUSCODE GetInterfaceInfoUID(const std::string& address, bool ipv4,
                                                  std::uint32_t& uid);
  // True when the text is the directed broadcast address of a listed interface whose own IPv4
  // address differs from it.
  [[nodiscard]] bool IsInterfaceBroadcastAddress(const std::string& address) const;

  // One whole refresh on the caller's thread (waits for one in progress): kObSuccess, or the
  // adapter table's failure with the list left as it was.
  [[nodiscard]] OB_STATUSCODE refreshInterfaceListThread();

  // True while a change signal's refresh thread is at work (further signals then make it refresh
  // once more when it is done).
  [[nodiscard]] bool RefreshThreadRunning() const { return refresh_running_; }

  // IORVNetworkChangeObserver
  void OnVPNStateChanged(const VPNSharedState& state) override;
  void OnTrustedStateChanged() override;
  void OnNetworkTypeChange() override;

 private:
  using RecordPtr = std::shared_ptr<InterfaceInfo>;

  void startRefreshThread();
  void loadPersistedUID();
  void storePersistedUID();
  [[nodiscard]] OB_STATUSCODE readAdapterTable(std::vector<AdapterEntry>& adapters);
  [[nodiscard]] RecordPtr buildRecord(const AdapterEntry& adapter);
  // "SSID=" for wireless records, then "State="; an unknown network state leaves the state out.
  void addDetails(InterfaceInfo& record);
  void addAddress(InterfaceInfo& record, const AdapterAddress& address);
  void GetSSID(InterfaceInfo& record);
  // Under the list mutex: the merge of one addressed record; new ones are appended to added.
  void mergeRecord(const RecordPtr& record, std::vector<RecordPtr>& added);
  void sweepList();
  // Under both mutexes: the next non-zero UID no listed entry holds.
  [[nodiscard]] bool allocateUid(std::uint32_t& uid);
  [[nodiscard]] std::uint16_t nextOrderId();
  [[nodiscard]] bool lookupUid(const std::string& address, bool ipv4, std::uint32_t& uid) const;
  void announce(const std::vector<RecordPtr>& added);

  // Set at construction.
  INetworkChangeSource& detector_;
  IAdapterTableSource& adapters_;
  const std::wstring data_directory_;
  const Clock clock_;

  std::mutex refresh_mutex_;    // one refresh at a time
  std::uint16_t last_uid_ = 0;  // the last UID handed out; guarded by refresh_mutex_

  mutable std::mutex list_mutex_;
  std::vector<RecordPtr> list_;                           // guarded by list_mutex_
  std::uint32_t change_counter_ = 0;                      // guarded by list_mutex_
  std::chrono::steady_clock::time_point last_refresh_{};  // guarded by list_mutex_

  std::atomic<InterfaceQueue*> queue_{nullptr};  // set by Start
  std::atomic<bool> started_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> registered_{false};
  std::atomic<bool> random_suffix_seen_{false};
  std::atomic<int> network_state_{3};

  std::mutex thread_mutex_;  // guards refresh_thread_; held while starting or joining it
  std::thread refresh_thread_;
  std::atomic<bool> refresh_running_{false};  // a change signal's refresh thread is at work
  std::atomic<bool> refresh_again_{false};    // a signal came after the running refresh began

  boost::signals2::signal<void(const InterfaceInfo&)> interface_added_;
  std::mutex observers_mutex_;
  std::map<IORVInterfaceChangeObserver*, boost::signals2::connection> observers_;
};
