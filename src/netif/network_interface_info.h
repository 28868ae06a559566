// The DNS suffix cache: local unicast address (numeric text, IPv4 or IPv6) → DNS suffix of the
// adapter that holds it, from which flow records take their DNS suffix.
//
// PopulateDNSSuffix (the agent, on every interface change) rebuilds the cache: the new map is
// built aside and swapped in whole, so lookups meanwhile still find the old suffixes. A lookup
// that misses asks for an on-demand repopulation (merged in, without clearing) at most five times
// between two rebuilds and at most once every two seconds; it runs on a thread of its own, since
// reading the suffixes can take D-Bus calls of up to a second each, and the lookup never waits
// for it. The adapter table and the suffixes are read without the lock; the cache, the
// repopulation time and the count are guarded by one mutex, so every operation is safe from any
// thread (the service thread rebuilds while the flow thread looks up).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "common/status.h"
#include "netif/adapter_table.h"
#include "netif/link_domains.h"

class CNetworkInterfaceInfo {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  static constexpr std::uint16_t kMaxOnDemandRepopulations = 5;
  static constexpr std::chrono::seconds kOnDemandInterval{2};
  // Reads of a table that keeps changing before the population gives up.
  static constexpr int kMaxTableReads = 5;

  enum class Population { kNow, kInBackground };

  // The process-wide cache on the system's adapter table and resolver, created on first use and
  // populated in the background (first use may be a flow's lookup).
  static CNetworkInterfaceInfo& GetInstance();

  // Populates the cache, now or on the repopulation thread (a failure is logged and leaves it
  // empty).
  CNetworkInterfaceInfo(IAdapterTableSource& adapters, ILinkDomainSource& domains,
                        Clock clock = std::chrono::steady_clock::now,
                        Population population = Population::kNow);
  // Joins the repopulation thread.
  ~CNetworkInterfaceInfo();
  CNetworkInterfaceInfo(const CNetworkInterfaceInfo&) = delete;
  CNetworkInterfaceInfo& operator=(const CNetworkInterfaceInfo&) = delete;

  // Copies the suffix of the address with its terminator into suffix[0, *size) and sets *size
  // to the characters used (terminator included). kObBadArgument for a null argument;
  // kObBufferTooSmall with *size set to the characters needed; kObNotFound for an address not
  // cached (which may start an on-demand repopulation for the next lookup).
  [[nodiscard]] OB_STATUSCODE GetDNSSuffix(const char* address, wchar_t* suffix,
                                           std::uint32_t* size);
  // Builds the cache afresh and swaps it in, clearing the on-demand count: kObSuccess,
  // kObOutOfMemory, or kObFailure (logged) when the table could not be read or is empty (the
  // cache is then empty).
  [[nodiscard]] OB_STATUSCODE PopulateDNSSuffix();

  // True while the repopulation thread is at work.
  [[nodiscard]] bool RepopulationRunning() const { return repopulating_; }

 private:
  using Cache = std::map<std::string, std::wstring>;

  // Reads the table and the suffixes into entries; takes no lock.
  [[nodiscard]] OB_STATUSCODE populateDNSCache(Cache& entries);
  void repopulateOnDemand();
  // Starts the repopulation thread unless it runs; it merges what it reads into the cache.
  void startRepopulation(const char* function);

  // Set at construction.
  IAdapterTableSource& adapters_;
  ILinkDomainSource& domains_;
  const Clock clock_;

  std::mutex mutex_;
  Cache cache_;                                                // guarded by mutex_
  std::chrono::steady_clock::time_point last_repopulation_{};  // guarded by mutex_
  std::uint16_t on_demand_count_ = 0;                          // guarded by mutex_
  std::uint64_t generation_ = 0;                               // rebuilds so far; guarded by mutex_

  std::mutex thread_mutex_;  // guards repopulation_thread_ while starting or joining it
  std::thread repopulation_thread_;
  std::atomic<bool> repopulating_{false};
};
