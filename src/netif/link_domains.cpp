#include "netif/link_domains.h"

#include <systemd/sd-bus.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <utility>

#include "platform/sd_bus_handles.h"
#include "runtime/logger.h"
#include "runtime/text.h"

namespace {

constexpr char kResolvedService[] = "org.freedesktop.resolve1";
constexpr std::uint64_t kBusCallTimeoutUsec = std::uint64_t{1000} * 1000;

using OBPlatform::BusError;
using OBPlatform::BusPtr;
using OBPlatform::MessagePtr;

[[nodiscard]] bool ResolvedRuns(sd_bus* bus) {
  BusError error;
  sd_bus_message* raw = nullptr;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "NameHasOwner", error.get(), &raw, "s",
                         kResolvedService) < 0) {
    return false;
  }
  const MessagePtr reply(raw);
  int owned = 0;
  return sd_bus_message_read(reply.get(), "b", &owned) >= 0 && owned != 0;
}

// The first search domain resolved has for the link; empty when none or on any error.
std::string FirstLinkDomain(sd_bus* bus, std::uint32_t index) {
  BusError error;
  sd_bus_message* raw = nullptr;
  if (sd_bus_call_method(bus, kResolvedService, "/org/freedesktop/resolve1",
                         "org.freedesktop.resolve1.Manager", "GetLink", error.get(), &raw, "i",
                         static_cast<int>(index)) < 0) {
    return {};
  }
  const MessagePtr link(raw);
  const char* path = nullptr;
  if (sd_bus_message_read(link.get(), "o", &path) < 0 || path == nullptr) {
    return {};
  }
  BusError property_error;
  raw = nullptr;
  if (sd_bus_get_property(bus, kResolvedService, path, "org.freedesktop.resolve1.Link", "Domains",
                          property_error.get(), &raw, "a(sb)") < 0) {
    return {};
  }
  const MessagePtr reply(raw);
  if (sd_bus_message_enter_container(reply.get(), 'v', "a(sb)") < 0 ||
      sd_bus_message_enter_container(reply.get(), 'a', "(sb)") < 0) {
    return {};
  }
  const char* domain = nullptr;
  int routing_only = 0;
  while (sd_bus_message_read(reply.get(), "(sb)", &domain, &routing_only) > 0) {
    if (routing_only == 0 && domain != nullptr && domain[0] != '\0') {
      return domain;
    }
  }
  return {};
}

}  // namespace

CSystemLinkDomains::CSystemLinkDomains(std::string resolv_conf, bool use_bus)
    : resolv_conf_(std::move(resolv_conf)), use_bus_(use_bus) {}

std::map<std::uint32_t, std::wstring> CSystemLinkDomains::ReadSuffixes(
    const std::vector<std::uint32_t>& link_indexes) {
  std::map<std::uint32_t, std::wstring> suffixes;
  if (use_bus_ && readFromResolved(link_indexes, suffixes)) {
    return suffixes;
  }
  std::ifstream file(resolv_conf_);
  if (!file) {
    OB_LOG_WARN("Unable to read the resolver configuration %s", resolv_conf_.c_str());
    return suffixes;
  }
  std::ostringstream text;
  text << file.rdbuf();
  const std::string suffix = SuffixFromResolvConf(text.str());
  if (!suffix.empty()) {
    for (const std::uint32_t index : link_indexes) {
      suffixes[index] = OBRuntime::Utf8ToWide(suffix);
    }
  }
  return suffixes;
}

bool CSystemLinkDomains::readFromResolved(const std::vector<std::uint32_t>& link_indexes,
                                          std::map<std::uint32_t, std::wstring>& suffixes) {
  sd_bus* raw = nullptr;
  if (sd_bus_open_system(&raw) < 0) {
    return false;
  }
  const BusPtr bus(raw);
  if (sd_bus_set_method_call_timeout(bus.get(), kBusCallTimeoutUsec) < 0 ||
      !ResolvedRuns(bus.get())) {
    return false;
  }
  for (const std::uint32_t index : link_indexes) {
    const std::string domain = FirstLinkDomain(bus.get(), index);
    if (!domain.empty() && domain.size() <= kMaxSuffixLength) {
      suffixes[index] = OBRuntime::Utf8ToWide(domain);
    }
  }
  return true;
}

std::string CSystemLinkDomains::SuffixFromResolvConf(const std::string& text) {
  std::istringstream lines(text);
  std::string domain_entry;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string keyword;
    std::string first;
    if (!(words >> keyword >> first) || keyword[0] == '#' || keyword[0] == ';') {
      continue;
    }
    if (keyword == "search") {
      return first.size() <= kMaxSuffixLength ? first : std::string();
    }
    if (keyword == "domain" && domain_entry.empty()) {
      domain_entry = first;
    }
  }
  return domain_entry.size() <= kMaxSuffixLength ? domain_entry : std::string();
}
