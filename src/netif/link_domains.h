// Where the DNS suffix of each adapter comes from: the first search domain that
// systemd-resolved has for the link (not a routing-only one) when resolved answers on the system
// bus, else the first "search" entry (or the "domain" entry) of the resolver configuration file
// for every link. Without a system bus the sd-bus attempt fails at once, so the fallback costs
// nothing where systemd does not run.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class ILinkDomainSource {
 public:
  virtual ~ILinkDomainSource() = default;
  // The DNS suffix of each of the given links; links without one are left out.
  [[nodiscard]] virtual std::map<std::uint32_t, std::wstring> ReadSuffixes(
      const std::vector<std::uint32_t>& link_indexes) = 0;
};

class CSystemLinkDomains final : public ILinkDomainSource {
 public:
  // Longest suffix taken (a DNS name has at most 253 characters).
  static constexpr std::size_t kMaxSuffixLength = 253;

  // resolv_conf is the resolver configuration read when resolved does not answer; use_bus false
  // skips the system bus (tests).
  explicit CSystemLinkDomains(std::string resolv_conf = "/etc/resolv.conf", bool use_bus = true);

  // ILinkDomainSource
  [[nodiscard]] std::map<std::uint32_t, std::wstring> ReadSuffixes(
      const std::vector<std::uint32_t>& link_indexes) override;

  // The first "search" domain of the file's text, else its "domain" entry; empty when neither
  // is there or the name is longer than kMaxSuffixLength.
  [[nodiscard]] static std::string SuffixFromResolvConf(const std::string& text);

 private:
  // False when resolved cannot be asked; suffixes then stays empty.
  [[nodiscard]] bool readFromResolved(const std::vector<std::uint32_t>& link_indexes,
                                      std::map<std::uint32_t, std::wstring>& suffixes);

  const std::string resolv_conf_;
  const bool use_bus_;
};
