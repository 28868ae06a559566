#include "netif/network_interface_manager.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <system_error>
#include <utility>

#include "cache/persisted_state.h"
#include "runtime/agent_thread.h"
#include "runtime/logger.h"
#include "runtime/text.h"
#include "runtime/utils.h"

namespace {

constexpr wchar_t kOwnVpnPrefix[] = L"Varno Ombrix";
constexpr std::uint32_t kTunnelStateDisconnected = 4;

std::wstring Description(const AdapterEntry& adapter) {
  return OBRuntime::Utf8ToWide(adapter.alias.empty() ? adapter.name : adapter.alias);
}

std::uint8_t TypeCode(const AdapterEntry& adapter, const std::wstring& description) {
  std::uint8_t type = kInterfaceTypeOther;
  if (adapter.wireless) {
    type = kInterfaceTypeWireless;
  } else if (adapter.link_type == kLinkTypeEthernet) {
    type = kInterfaceTypeWired;
  }
  // The description test comes last and wins.
  if (description.starts_with(kOwnVpnPrefix)) {
    type = kInterfaceTypeOwnVpn;
  }
  return type;
}

// Six bytes of the physical address; missing ones read as zero, as in a fixed-size field.
std::string FormatHardwareAddress(const std::vector<std::uint8_t>& address) {
  std::uint8_t bytes[6] = {};
  std::copy_n(address.begin(), std::min(address.size(), sizeof(bytes)), bytes);
  char text[18];
  std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1], bytes[2],
                bytes[3], bytes[4], bytes[5]);
  return text;
}

std::string DirectedBroadcast(const std::string& address, std::uint8_t prefix_length) {
  in_addr parsed{};
  if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
    return {};
  }
  const std::uint32_t host_mask = prefix_length >= 32 ? 0 : (0xFFFFFFFFu >> prefix_length);
  parsed.s_addr |= htonl(host_mask);
  char text[INET_ADDRSTRLEN] = {};
  return ::inet_ntop(AF_INET, &parsed, text, sizeof(text)) != nullptr ? text : std::string();
}

bool HoldsAddress(const InterfaceInfo& record) {
  return record.ipv4_address != kNoIpv4Address || !record.ipv6_addresses.empty();
}

// Index, type code, name, hardware address and the detail list.
bool SameInterface(const InterfaceInfo& a, const InterfaceInfo& b) {
  return a.index == b.index && a.type_code == b.type_code && a.name == b.name &&
         a.hardware_address == b.hardware_address && a.detail_list == b.detail_list;
}

bool SameAddresses(const InterfaceInfo& a, const InterfaceInfo& b) {
  return a.ipv4_address == b.ipv4_address && a.ipv6_addresses == b.ipv6_addresses;
}

}  // namespace

CNetworkInterfaceManager& CNetworkInterfaceManager::GetInstance() {
  static CSystemAdapterTable table;
  static CTndNetworkChangeSource detector(CORVTND::GetInstance());
  static CNetworkInterfaceManager manager(detector, table, OBRuntime::Utils::GetORVDataDirectory());
  return manager;
}

CNetworkInterfaceManager::CNetworkInterfaceManager(INetworkChangeSource& detector,
                                                   IAdapterTableSource& adapters,
                                                   std::wstring data_directory, Clock clock)
    : detector_(detector),
      adapters_(adapters),
      data_directory_(std::move(data_directory)),
      clock_(std::move(clock)) {}

CNetworkInterfaceManager::~CNetworkInterfaceManager() { Stop(); }

OB_STATUSCODE CNetworkInterfaceManager::Start(InterfaceQueue& queue) {
  network_state_ = detector_.GetNetworkType();
  if (started_.exchange(true)) {
    return kObAlreadyRunning;
  }
  queue_ = &queue;
  stop_ = false;
  if (refreshInterfaceListThread() != kObSuccess) {
    OB_LOG_ERROR("refreshInterfaceListThread failed");
  }
  const OB_STATUSCODE status = detector_.RegisterForNetworkChange(this);
  if (status != kObSuccess) {
    OB_LOG_ERROR("Failed to register for the network change events with TND");
    stop_ = true;
    started_ = false;
    return status;
  }
  registered_ = true;
  return kObSuccess;
}

// Stop then Start is a full cycle: flow collection goes off and on again with the trusted state
// and the profile, and each time on the list must follow the links again.
void CNetworkInterfaceManager::Stop() {
  stop_ = true;
  if (registered_.exchange(false) && detector_.DeRegisterForNetworkChange(this) != kObSuccess) {
    OB_LOG_WARN("Failed to deregister from the network change events with TND");
  }
  {
    const std::lock_guard lock(thread_mutex_);
    if (refresh_thread_.joinable()) {
      refresh_thread_.join();
    }
  }
  started_ = false;
}

void CNetworkInterfaceManager::OnVPNStateChanged(const VPNSharedState& state) {
  if (state.vpn_config.tunnel_state == kTunnelStateDisconnected &&
      network_state_ == NETWORK_TYPE_TRUSTED) {
    OnNetworkTypeChange();
  }
}

void CNetworkInterfaceManager::OnTrustedStateChanged() {
  network_state_ = detector_.GetNetworkType();
  OnNetworkTypeChange();
}

void CNetworkInterfaceManager::OnNetworkTypeChange() {
  OB_LOG_DEBUG("CNetworkInterfaceManager::OnNetworkTypeChange - Interface change signal received");
  startRefreshThread();
}

// A signal that arrives while a refresh runs is not lost: the running thread refreshes once
// more, since the table it read may predate the change.
void CNetworkInterfaceManager::startRefreshThread() {
  refresh_again_ = true;
  bool idle = false;
  if (stop_ || !refresh_running_.compare_exchange_strong(idle, true)) {
    return;
  }
  const std::lock_guard lock(thread_mutex_);
  if (stop_) {
    refresh_running_ = false;
    return;
  }
  // The previous thread cleared the running flag as its last step, so this join is short.
  if (refresh_thread_.joinable()) {
    refresh_thread_.join();
  }
  try {
    refresh_thread_ = OBRuntime::StartAgentThread([this] {
      do {
        refresh_again_ = false;
        if (refreshInterfaceListThread() != kObSuccess) {
          OB_LOG_AS(LOG_ERROR, "CNetworkInterfaceManager::OnNetworkTypeChange",
                    "refreshInterfaceListThread failed");
        }
        refresh_running_ = false;
      } while (refresh_again_ && !stop_ && !refresh_running_.exchange(true));
    });
  } catch (const std::system_error& error) {
    OB_LOG_ERROR("Unable to start the interface refresh thread: %s", error.what());
    refresh_running_ = false;
  }
}

OB_STATUSCODE CNetworkInterfaceManager::RegisterForInterfaceChange(
    IORVInterfaceChangeObserver* observer) {
  if (observer == nullptr) {
    return kObBadArgument;
  }
  const std::lock_guard lock(observers_mutex_);
  try {
    boost::signals2::connection connection = interface_added_.connect(
        [observer](const InterfaceInfo& info) { observer->OnInterfaceChange(info); });
    const auto [entry, inserted] = observers_.try_emplace(observer, connection);
    if (!inserted) {
      connection.disconnect();  // already connected once
    }
  } catch (const std::exception& error) {
    OB_LOG_ERROR("Failed to connect the signal to the passed slot as %s", error.what());
    return kObFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE CNetworkInterfaceManager::DeRegisterForInterfaceChange(
    IORVInterfaceChangeObserver* observer) {
  if (observer == nullptr) {
    return kObBadArgument;
  }
  const std::lock_guard lock(observers_mutex_);
  const auto found = observers_.find(observer);
  if (found != observers_.end()) {
    try {
      found->second.disconnect();
    } catch (const std::exception& error) {
      OB_LOG_ERROR("Failed to disconnect the signal to the passed slot as %s", error.what());
      return kObFailure;
    }
    observers_.erase(found);
  }
  return kObSuccess;
}

std::vector<std::shared_ptr<InterfaceInfo>> CNetworkInterfaceManager::GetInterfaceList() const {
  const std::lock_guard lock(list_mutex_);
  std::vector<std::shared_ptr<InterfaceInfo>> copies;
  copies.reserve(list_.size());
  for (const RecordPtr& entry : list_) {
    copies.push_back(std::make_shared<InterfaceInfo>(*entry));
  }
  return copies;
}

OB_STATUSCODE CNetworkInterfaceManager::GetInterfaceInfoUID(const std::string& address, bool ipv4,
                                                            std::uint32_t& uid) {
  uid = 0;
  if (lookupUid(address, ipv4, uid)) {
    return kObSuccess;
  }
  bool stale = false;
  {
    const std::lock_guard lock(list_mutex_);
    stale = clock_() - last_refresh_ > kOnDemandRefreshAge;
  }
  // The list mutex is released first: the refresh takes it again.
  if (random_suffix_seen_ && stale) {
    if (refreshInterfaceListThread() != kObSuccess) {
      OB_LOG_ERROR("refreshInterfaceListThread failed");
    }
    if (lookupUid(address, ipv4, uid)) {
      return kObSuccess;
    }
  }
  uid = 0;
  return kObNotFound;
}

bool CNetworkInterfaceManager::lookupUid(const std::string& address, bool ipv4,
                                         std::uint32_t& uid) const {
  const std::lock_guard lock(list_mutex_);
  const InterfaceInfo* best = nullptr;
  for (const RecordPtr& entry : list_) {
    const bool holds =
        ipv4 ? entry->ipv4_address == address : entry->ipv6_addresses.contains(address);
    if (holds && (best == nullptr || entry->order_id > best->order_id)) {
      best = entry.get();
    }
  }
  if (best != nullptr) {
    uid = best->uid;
  }
  return best != nullptr;
}

bool CNetworkInterfaceManager::IsInterfaceBroadcastAddress(const std::string& address) const {
  const std::lock_guard lock(list_mutex_);
  return std::any_of(list_.begin(), list_.end(), [&address](const RecordPtr& entry) {
    return !entry->ipv4_broadcast.empty() && entry->ipv4_broadcast == address &&
           entry->ipv4_address != address;
  });
}

OB_STATUSCODE CNetworkInterfaceManager::refreshInterfaceListThread() {
  const std::lock_guard refresh(refresh_mutex_);
  loadPersistedUID();
  std::vector<AdapterEntry> adapters;
  const OB_STATUSCODE status = readAdapterTable(adapters);
  if (status != kObSuccess) {
    return status;
  }
  // Records are built whole (details, every address) before any is compared or handed out.
  std::vector<RecordPtr> records;
  for (const AdapterEntry& adapter : adapters) {
    if (stop_) {
      OB_LOG_DEBUG("Interface refresh abandoned: the manager is stopping");
      return kObFailure;
    }
    if (adapter.up) {
      records.push_back(buildRecord(adapter));
    }
  }
  std::vector<RecordPtr> added;
  {
    const std::lock_guard lock(list_mutex_);
    for (const RecordPtr& record : records) {
      if (record->type_code != kInterfaceTypeOther && HoldsAddress(*record)) {
        mergeRecord(record, added);
      }
    }
    sweepList();
    last_refresh_ = clock_();
  }
  storePersistedUID();
  announce(added);
  return kObSuccess;
}

// The file holds the last UID handed out. A file that holds the next candidate instead (the
// other way of writing it) then only makes one UID go unused: reading it either way never
// hands a UID out twice.
void CNetworkInterfaceManager::loadPersistedUID() {
  CPersistedState state(data_directory_, kPersistedFileName, false);
  std::uint8_t bytes[2] = {};
  if (state.LoadData(bytes, sizeof(bytes)) != kObSuccess) {
    OB_LOG_ERROR("Read from Persisted State failed.");
    return;
  }
  last_uid_ = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

void CNetworkInterfaceManager::storePersistedUID() {
  CPersistedState state(data_directory_, kPersistedFileName, false);
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(last_uid_ & 0xFF),
                                 static_cast<std::uint8_t>(last_uid_ >> 8)};
  if (state.StoreData(bytes, sizeof(bytes)) != kObSuccess) {
    OB_LOG_ERROR("Write to Persisted State failed.");
  }
}

OB_STATUSCODE CNetworkInterfaceManager::readAdapterTable(std::vector<AdapterEntry>& adapters) {
  int error = 0;
  const OB_STATUSCODE status = adapters_.ReadAdapters(adapters, error);
  switch (status) {
    case kObSuccess:
      return kObSuccess;
    case kObBufferTooSmall:
      OB_LOG_WARN("The adapter table changed during two reads in a row; list left as it was");
      return kObBufferTooSmall;
    case kObOutOfMemory:
      OB_LOG_DEBUG("Memory allocation failed for IP_ADAPTER_ADDRESSES struct\n");
      return kObFailure;
    default:
      OB_LOG_AS(LOG_ERROR, "CNetworkInterfaceManager::refreshInterfaceList",
                "CNetworkInterfaceManager::refreshInterfaceList - Could not refresh interface "
                "list.");
      OB_LOG_DEBUG("Adapter table read failed: status %d, error %d", status, error);
      return kObFailure;
  }
}

CNetworkInterfaceManager::RecordPtr CNetworkInterfaceManager::buildRecord(
    const AdapterEntry& adapter) {
  auto record = std::make_shared<InterfaceInfo>();
  record->index = adapter.index;
  record->name = Description(adapter);
  record->type_code = TypeCode(adapter, record->name);
  addDetails(*record);
  record->seen = true;
  record->missed_count = 0;
  if (record->type_code != kInterfaceTypeOther) {
    record->hardware_address = FormatHardwareAddress(adapter.hardware_address);
  }
  for (const AdapterAddress& address : adapter.addresses) {
    addAddress(*record, address);
  }
  return record;
}

void CNetworkInterfaceManager::addDetails(InterfaceInfo& record) {
  if (record.type_code == kInterfaceTypeWireless) {
    GetSSID(record);
  }
  const bool own_vpn = record.type_code == kInterfaceTypeOwnVpn;
  const int state = network_state_;
  const wchar_t* word = nullptr;
  switch (state) {
    case 0:
    case NETWORK_TYPE_TRUSTED:
      // Trusted only through the tunnel: the physical adapters are on an untrusted network.
      word = detector_.IsVpnConnected() && !own_vpn ? L"Untrusted" : L"Trusted";
      break;
    case NETWORK_TYPE_UNTRUSTED:
      word = own_vpn ? L"Trusted" : L"Untrusted";
      break;
    case NETWORK_TYPE_UNKNOWN:
      word = L"Unknown";
      break;
    default:
      OB_LOG_ERROR("Unexpected network state %d: interface %u listed without a state (%d)", state,
                   record.index, kObPartialFailure);
      return;
  }
  record.detail_list.push_back(std::wstring(L"State=") + word);
}

void CNetworkInterfaceManager::GetSSID(InterfaceInfo& record) {
  std::wstring ssid;
  SsidFailure failure = SsidFailure::kNone;
  int error = 0;
  if (adapters_.QuerySsid(ssid, failure, error) == kObSuccess) {
    record.detail_list.push_back(L"SSID=" + ssid);
    return;
  }
  const auto code = static_cast<unsigned>(error);
  switch (failure) {
    case SsidFailure::kOpen:
      OB_LOG_ERROR("WlanOpenHandle failed with error: %u", code);
      break;
    case SsidFailure::kEnumerate:
      OB_LOG_ERROR("WlanEnumInterfaces failed with error: %u", code);
      break;
    case SsidFailure::kQuery:
      OB_LOG_ERROR("WlanQueryInterface failed with error: %u\n", code);
      break;
    case SsidFailure::kNone:
    case SsidFailure::kNotConnected:
      break;
  }
  OB_LOG_ERROR("Failed to fetch SSID");
}

void CNetworkInterfaceManager::addAddress(InterfaceInfo& record, const AdapterAddress& address) {
  std::string text;
  if (!CanonicalAddressText(address, text)) {
    OB_LOG_WARN("Interface %u: address \"%s\" of family %d does not parse; ignored", record.index,
                address.text.c_str(), address.family);
    return;
  }
  if (address.family == AF_INET) {
    if (address.prefix_length > 32) {
      OB_LOG_WARN("Interface %u: IPv4 address %s with prefix length %u; ignored", record.index,
                  text.c_str(), address.prefix_length);
      return;
    }
    record.ipv4_address = text;
    record.ipv4_broadcast = DirectedBroadcast(text, address.prefix_length);
    return;
  }
  // Canonical text is lower case, so this also catches "FE80:".
  if (text.starts_with("fe80:")) {
    return;
  }
  if (address.temporary) {
    random_suffix_seen_ = true;
  }
  if (record.ipv6_addresses.size() < kMaxIpv6Addresses) {
    record.ipv6_addresses.insert(text);
  }
}

void CNetworkInterfaceManager::mergeRecord(const RecordPtr& record, std::vector<RecordPtr>& added) {
  const auto same = std::find_if(list_.begin(), list_.end(), [&record](const RecordPtr& entry) {
    return SameInterface(*entry, *record);
  });
  if (same != list_.end()) {
    InterfaceInfo& entry = **same;
    if (SameAddresses(entry, *record)) {
      entry.seen = true;
      if (entry.missed_count != 0) {
        entry.missed_count = 0;
        entry.order_id = nextOrderId();
      }
      return;
    }
    record->uid = entry.uid;
    record->order_id = nextOrderId();
    *same = record;
    return;
  }
  if (!allocateUid(record->uid)) {
    OB_LOG_ERROR("No unused interface UID is left; interface %u not listed", record->index);
    return;
  }
  record->order_id = nextOrderId();
  list_.push_back(record);
  added.push_back(record);
}

void CNetworkInterfaceManager::sweepList() {
  for (auto entry = list_.begin(); entry != list_.end();) {
    InterfaceInfo& record = **entry;
    if (record.seen) {
      record.seen = false;
    } else if (record.missed_count < kMaxMissedRefreshes) {
      ++record.missed_count;
    } else {
      entry = list_.erase(entry);
      continue;
    }
    ++entry;
  }
}

bool CNetworkInterfaceManager::allocateUid(std::uint32_t& uid) {
  // The counter wraps at 16 bits; 0 means "no interface" and listed UIDs are still in use.
  std::uint16_t candidate = last_uid_;
  for (std::uint32_t tries = 0; tries <= 0xFFFF; ++tries) {
    ++candidate;
    const bool used = std::any_of(list_.begin(), list_.end(), [candidate](const RecordPtr& entry) {
      return entry->uid == candidate;
    });
    if (candidate != 0 && !used) {
      uid = candidate;
      last_uid_ = candidate;
      return true;
    }
  }
  return false;
}

std::uint16_t CNetworkInterfaceManager::nextOrderId() {
  return static_cast<std::uint16_t>(++change_counter_);
}

void CNetworkInterfaceManager::announce(const std::vector<RecordPtr>& added) {
  InterfaceQueue* queue = queue_;
  for (const RecordPtr& record : added) {
    if (queue != nullptr && queue->Push(std::make_shared<InterfaceInfo>(*record)) == kObQueueFull) {
      // The collector learns of it with the next announcement of all interfaces.
      OB_LOG_WARN("Interface queue full: interface %u (UID %u) not queued", record->index,
                  record->uid);
    }
    try {
      interface_added_(*record);
    } catch (const std::exception& error) {
      OB_LOG_ERROR("An interface change observer failed: %s", error.what());
    }
  }
}
