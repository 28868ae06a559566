#include "flow/synthetic_flow_source.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr const char* kHostNames[] = {
    "www.example.com", "api.github.com",        "time.cloudflare.com", "update.vendor-cdn.net",
    "zoom.us",         "xn--bcher-kva.example", "dns.google",          "",
};

struct Image {
  const char16_t* path;
  const char16_t* parent_path;
};

constexpr Image kImages[] = {
    {u"/usr/lib/firefox/firefox", u"/usr/lib/systemd/systemd"},
    {u"/usr/bin/ssh", u"/usr/bin/bash"},
    {u"/usr/sbin/chronyd", u"/usr/lib/systemd/systemd"},
    {u"/usr/lib/systemd/systemd-resolved", u"/usr/lib/systemd/systemd"},
    {u"/usr/bin/curl", u"/usr/bin/bash"},
    {u"/usr/bin/python3.11", u"/usr/bin/bash"},
};

constexpr std::uint16_t kServicePorts[] = {443, 443, 443, 80, 53, 22, 123, 8443};

}  // namespace

SyntheticFlowSource::SyntheticFlowSource(std::uint32_t seed, unsigned ipv6_percent)
    : random_(seed), ipv6_percent_(std::min(ipv6_percent, 100U)) {
  for (const Image& image : kImages) {
    SyntheticProcess process;
    process.pid = 1000 + random_() % 60000;
    process.parent_pid = 1 + random_() % 1000;
    process.path = image.path;
    process.parent_path = image.parent_path;
    for (auto& byte : process.hash) byte = static_cast<std::uint8_t>(random_());
    for (auto& byte : process.parent_hash) byte = static_cast<std::uint8_t>(random_());
    processes_.push_back(std::move(process));
  }
}

void SyntheticFlowSource::UseProcess(const SyntheticProcess& process) {
  processes_.assign(1, process);
  last_ = 0;
}

KdfFlowData SyntheticFlowSource::NextFlow(std::uint32_t now_seconds) {
  KdfFlowData flow;
  last_ = random_() % processes_.size();
  const SyntheticProcess& process = processes_[last_];
  flow.address_family = random_() % 100 < ipv6_percent_ ? kKdfFamilyIPv6 : kKdfFamilyIPv4;
  FillEndpoints(flow);
  const std::uint16_t service = kServicePorts[random_() % std::size(kServicePorts)];
  flow.protocol = service == 53 || service == 123 ? 17 : 6;
  flow.host_name = service == 123 ? "" : kHostNames[random_() % std::size(kHostNames)];
  flow.direction = random_() % 10 == 0 ? kKdfDirectionRemoteIsSource : 0;
  // The local endpoint listens on the service port when the remote side opened the flow.
  flow.local.port = flow.direction == kKdfDirectionRemoteIsSource
                        ? service
                        : static_cast<std::uint16_t>(32768 + random_() % 28232);
  flow.remote.port = flow.direction == kKdfDirectionRemoteIsSource
                         ? static_cast<std::uint16_t>(1024 + random_() % 64000)
                         : service;
  flow.bytes_out = 200 + random_() % 50000;
  flow.bytes_in = 500 + random_() % 2000000;
  flow.pid = process.pid;
  flow.parent_pid = process.parent_pid;
  flow.flow_start = now_seconds - random_() % 300;
  flow.flow_end = now_seconds;
  flow.process_hash = process.hash;
  flow.process_path = process.path;
  flow.parent_hash = process.parent_hash;
  flow.parent_path = process.parent_path;
  flow.report_kind = random_() % 3 == 0 ? kKdfReportKindFinal : 1;
  return flow;
}

void SyntheticFlowSource::FillEndpoints(KdfFlowData& flow) {
  const auto family = static_cast<std::uint16_t>(flow.address_family);
  flow.local.family = family;
  flow.remote.family = family;
  if (flow.IsIPv4()) {
    flow.local.ipv4 = {192, 168, 1, static_cast<std::uint8_t>(2 + random_() % 40)};
    flow.remote.ipv4 = {static_cast<std::uint8_t>(1 + random_() % 223),
                        static_cast<std::uint8_t>(random_()), static_cast<std::uint8_t>(random_()),
                        static_cast<std::uint8_t>(1 + random_() % 254)};
    return;
  }
  // A global-scope local address in the documentation prefix, a remote one in 2000::/3.
  flow.local.ipv6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1};
  flow.remote.ipv6 = {0x26, 0x06, 0x47, 0x00};
  for (std::size_t i = 8; i < 16; ++i) {
    flow.local.ipv6[i] = static_cast<std::uint8_t>(random_());
    flow.remote.ipv6[i] = static_cast<std::uint8_t>(random_());
  }
}
