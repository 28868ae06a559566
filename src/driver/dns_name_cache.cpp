#include "driver/dns_name_cache.h"

#include <sys/socket.h>

#include <algorithm>
#include <string_view>

namespace orv::driver {

namespace {

// An IPv4-mapped IPv6 address (::ffff:a.b.c.d) as the IPv4 address it stands for.
void Normalise(std::uint8_t& family, std::array<std::uint8_t, 16>& address) {
  constexpr std::array<std::uint8_t, 12> kMapped{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (family == AF_INET6 && std::equal(kMapped.begin(), kMapped.end(), address.begin())) {
    family = AF_INET;
    std::copy_n(address.begin() + 12, 4, address.begin());
    std::fill(address.begin() + 4, address.end(), 0);
  } else if (family == AF_INET) {
    std::fill(address.begin() + 4, address.end(), 0);
  }
}

}  // namespace

std::size_t DnsNameCache::KeyHash::operator()(const Key& key) const noexcept {
  std::uint64_t hash = 1469598103934665603ULL;  // FNV-1a over pid, family and address
  const auto mix = [&](std::uint8_t byte) { hash = (hash ^ byte) * 1099511628211ULL; };
  for (int shift = 0; shift < 32; shift += 8) {
    mix(static_cast<std::uint8_t>(key.pid >> shift));
  }
  mix(key.family);
  std::for_each(key.address.begin(), key.address.end(), mix);
  return static_cast<std::size_t>(hash);
}

DnsNameCache::DnsNameCache(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 2)) {}

void DnsNameCache::Remember(std::uint32_t pid, const DnsAddress& address, const std::string& name,
                            std::chrono::steady_clock::time_point now) {
  const auto ttl = std::clamp<std::chrono::seconds>(std::chrono::seconds(address.ttl_seconds),
                                                    kDnsMinTtl, kDnsMaxTtl);
  Key key{0, address.family, address.address};
  Normalise(key.family, key.address);
  put(key, name, now + ttl);
  if (pid != 0) {
    key.pid = pid;
    put(key, name, now + ttl);
  }
}

void DnsNameCache::put(const Key& key, const std::string& name,
                       std::chrono::steady_clock::time_point expires) {
  if (const auto found = index_.find(key); found != index_.end()) {
    found->second->name = name;
    found->second->expires = expires;
    lru_.splice(lru_.begin(), lru_, found->second);
    return;
  }
  if (index_.size() >= capacity_) {
    index_.erase(lru_.back().key);
    lru_.pop_back();
  }
  lru_.push_front(Entry{key, name, expires});
  index_.emplace(key, lru_.begin());
}

const DnsNameCache::Entry* DnsNameCache::find(const Key& key,
                                              std::chrono::steady_clock::time_point now) {
  const auto found = index_.find(key);
  if (found == index_.end()) {
    return nullptr;
  }
  if (found->second->expires <= now) {
    lru_.erase(found->second);
    index_.erase(found);
    return nullptr;
  }
  lru_.splice(lru_.begin(), lru_, found->second);
  return &*found->second;
}

std::string DnsNameCache::HostNameOf(std::uint32_t pid, std::uint8_t family,
                                     const std::array<std::uint8_t, 16>& address,
                                     std::chrono::steady_clock::time_point now) {
  if (index_.empty()) {
    return {};
  }
  Key key{pid, family, address};
  Normalise(key.family, key.address);
  const Entry* entry = pid != 0 ? find(key, now) : nullptr;
  if (entry == nullptr) {
    key.pid = 0;
    entry = find(key, now);
  }
  return entry != nullptr ? entry->name : std::string();
}

}  // namespace orv::driver
