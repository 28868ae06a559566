// The host names the machine's processes learned from DNS answers, by address: what the flow
// source puts in a flow's host name field when the flow starts.
//
// Each answer is remembered twice: under the process whose socket received it, and machine-wide
// (pid 0), so a flow finds the name its own process asked for first and another process's
// otherwise. An entry lives for its answer's TTL, held to [kDnsMinTtl, kDnsMaxTtl]. At most
// capacity entries (kDnsNameCacheEntries by default, about 200 bytes each: some 13 MB when
// full); the least recently used goes when a new one needs room. Not thread-safe: one owner.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

#include "driver/dns_message.h"

namespace orv::driver {

inline constexpr std::size_t kDnsNameCacheEntries = 65536;
inline constexpr std::chrono::seconds kDnsMinTtl{60};
inline constexpr std::chrono::seconds kDnsMaxTtl{24 * 60 * 60};

// How a flow's start finds its host name; a seam so the flow table can be tested with a fake.
class IHostNameLookup {
 public:
  virtual ~IHostNameLookup() = default;
  // The name pid (else any process) last learned for address (network order, IPv4 in the first
  // four bytes; an IPv4-mapped IPv6 address counts as IPv4), or empty.
  [[nodiscard]] virtual std::string HostNameOf(std::uint32_t pid, std::uint8_t family,
                                               const std::array<std::uint8_t, 16>& address,
                                               std::chrono::steady_clock::time_point now) = 0;
};

class DnsNameCache final : public IHostNameLookup {
 public:
  explicit DnsNameCache(std::size_t capacity = kDnsNameCacheEntries);

  // Remembers name for address as learned by pid (0: unknown, machine-wide only) at now.
  void Remember(std::uint32_t pid, const DnsAddress& address, const std::string& name,
                std::chrono::steady_clock::time_point now);
  [[nodiscard]] std::size_t Size() const noexcept { return index_.size(); }

  // IHostNameLookup
  [[nodiscard]] std::string HostNameOf(std::uint32_t pid, std::uint8_t family,
                                       const std::array<std::uint8_t, 16>& address,
                                       std::chrono::steady_clock::time_point now) override;

 private:
  struct Key {
    std::uint32_t pid = 0;
    std::uint8_t family = 0;
    std::array<std::uint8_t, 16> address{};
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& key) const noexcept;
  };
  struct Entry {
    Key key;
    std::string name;
    std::chrono::steady_clock::time_point expires;
  };
  using Lru = std::list<Entry>;  // most recently used first

  void put(const Key& key, const std::string& name, std::chrono::steady_clock::time_point expires);
  // The live entry for key, made the most recently used; expired entries are dropped.
  [[nodiscard]] const Entry* find(const Key& key, std::chrono::steady_clock::time_point now);

  std::size_t capacity_;
  Lru lru_;
  std::unordered_map<Key, Lru::iterator, KeyHash> index_;
};

}  // namespace orv::driver
