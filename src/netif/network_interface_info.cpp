#include "netif/network_interface_info.h"

#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

#include "runtime/agent_thread.h"
#include "runtime/logger.h"

namespace {

constexpr char kPopulateFunction[] = "CNetworkInterfaceInfo::PopulateDNSSuffix";

}  // namespace

CNetworkInterfaceInfo& CNetworkInterfaceInfo::GetInstance() {
  static CSystemAdapterTable table;
  static CSystemLinkDomains domains;
  static CNetworkInterfaceInfo info(table, domains, std::chrono::steady_clock::now,
                                    Population::kInBackground);
  return info;
}

CNetworkInterfaceInfo::CNetworkInterfaceInfo(IAdapterTableSource& adapters,
                                             ILinkDomainSource& domains, Clock clock,
                                             Population population)
    : adapters_(adapters), domains_(domains), clock_(std::move(clock)) {
  if (population == Population::kInBackground) {
    startRepopulation("CNetworkInterfaceInfo::CNetworkInterfaceInfo");
    return;
  }
  Cache entries;
  if (populateDNSCache(entries) != kObSuccess) {
    OB_LOG_AS(LOG_ERROR, "CNetworkInterfaceInfo::CNetworkInterfaceInfo",
              " Failed to populate DNS cache");
  }
  const std::lock_guard lock(mutex_);
  cache_ = std::move(entries);
}

CNetworkInterfaceInfo::~CNetworkInterfaceInfo() {
  const std::lock_guard lock(thread_mutex_);
  if (repopulation_thread_.joinable()) {
    repopulation_thread_.join();
  }
}

OB_STATUSCODE CNetworkInterfaceInfo::GetDNSSuffix(const char* address, wchar_t* suffix,
                                                  std::uint32_t* size) {
  if (address == nullptr || suffix == nullptr || size == nullptr) {
    return kObBadArgument;
  }
  {
    const std::lock_guard lock(mutex_);
    const auto found = cache_.find(address);
    if (found != cache_.end()) {
      const std::wstring& text = found->second;
      const std::size_t needed = text.size() + 1;
      if (needed > *size) {
        *size = static_cast<std::uint32_t>(needed);
        return kObBufferTooSmall;
      }
      text.copy(suffix, text.size());
      suffix[text.size()] = L'\0';
      *size = static_cast<std::uint32_t>(needed);
      return kObSuccess;
    }
  }
  repopulateOnDemand();
  return kObNotFound;
}

void CNetworkInterfaceInfo::repopulateOnDemand() {
  {
    const std::lock_guard lock(mutex_);
    const auto now = clock_();
    if (repopulating_ || on_demand_count_ >= kMaxOnDemandRepopulations ||
        now - last_repopulation_ <= kOnDemandInterval) {
      return;
    }
    // Claimed before the read so that concurrent misses do not all repopulate.
    last_repopulation_ = now;
    ++on_demand_count_;
  }
  startRepopulation("CNetworkInterfaceInfo::GetDNSSuffix");
}

void CNetworkInterfaceInfo::startRepopulation(const char* function) {
  bool idle = false;
  if (!repopulating_.compare_exchange_strong(idle, true)) {
    return;
  }
  const std::lock_guard lock(thread_mutex_);
  // The previous thread cleared the flag as its last step, so this join is short.
  if (repopulation_thread_.joinable()) {
    repopulation_thread_.join();
  }
  try {
    repopulation_thread_ = OBRuntime::StartAgentThread([this, function] {
      std::uint64_t generation = 0;
      {
        const std::lock_guard lock(mutex_);
        generation = generation_;
      }
      Cache entries;
      if (populateDNSCache(entries) != kObSuccess) {
        OB_LOG_AS(LOG_ERROR, function, " Failed to populate DNS cache");
      }
      {
        // A rebuild that finished meanwhile read a newer table: what this read found is older.
        const std::lock_guard lock(mutex_);
        for (auto& [address, suffix] : entries) {
          if (generation_ == generation) {
            cache_.insert_or_assign(address, std::move(suffix));
          }
        }
      }
      repopulating_ = false;
    });
  } catch (const std::system_error& error) {
    OB_LOG_ERROR("Unable to start the DNS suffix repopulation thread: %s", error.what());
    repopulating_ = false;
  }
}

OB_STATUSCODE CNetworkInterfaceInfo::PopulateDNSSuffix() {
  Cache entries;
  const OB_STATUSCODE status = populateDNSCache(entries);
  const std::lock_guard lock(mutex_);
  cache_.swap(entries);
  on_demand_count_ = 0;
  ++generation_;
  return status;
}

OB_STATUSCODE CNetworkInterfaceInfo::populateDNSCache(Cache& entries) {
  std::vector<AdapterEntry> adapters;
  int error = 0;
  OB_STATUSCODE status = kObBufferTooSmall;
  for (int read = 0; read < kMaxTableReads && status == kObBufferTooSmall; ++read) {
    status = adapters_.ReadAdapters(adapters, error);
  }
  if (status == kObBufferTooSmall) {
    error = EAGAIN;
  }
  if (status == kObOutOfMemory) {
    OB_LOG_AS(LOG_ERROR, kPopulateFunction,
              "CNetworkInterfaceInfo::populateDNSCache failed to allocate memory for pAddresses "
              "buffer");
    return kObOutOfMemory;
  }
  if (status != kObSuccess) {
    OB_LOG_AS(LOG_ERROR, kPopulateFunction,
              "CNetworkInterfaceInfo::populateDNSCache GetAdapterAddresses failed with error: %d",
              error);
    OB_LOG_AS(LOG_ERROR, kPopulateFunction, "CNetworkInterfaceInfo::populateDNSCache failed: %s",
              std::error_code(error, std::system_category()).message().c_str());
    return kObFailure;
  }
  if (adapters.empty()) {
    OB_LOG_AS(LOG_ERROR, kPopulateFunction,
              "CNetworkInterfaceInfo::populateDNSCache No addresses wre found with requested "
              "parameters");
    return kObFailure;
  }
  std::vector<std::uint32_t> indexes;
  indexes.reserve(adapters.size());
  for (const AdapterEntry& adapter : adapters) {
    indexes.push_back(adapter.index);
  }
  const std::map<std::uint32_t, std::wstring> suffixes = domains_.ReadSuffixes(indexes);
  for (const AdapterEntry& adapter : adapters) {
    const auto suffix = suffixes.find(adapter.index);
    if (suffix == suffixes.end() || suffix->second.empty()) {
      continue;
    }
    for (const AdapterAddress& address : adapter.addresses) {
      std::string text;
      if (!CanonicalAddressText(address, text)) {
        OB_LOG_WARN("Interface %u: address \"%s\" does not parse; not cached", adapter.index,
                    address.text.c_str());
        continue;
      }
      entries.insert_or_assign(text, suffix->second);
    }
  }
  return kObSuccess;
}
