// Host names from DNS: reading a typical answer (a CNAME chain to four addresses), an answer
// taken through the query tracker into the name cache, and the lookup a flow makes at its start
// in a full cache (65,536 entries).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "driver/dns_name_tracker.h"
#include "support/dns_wire.h"

namespace {

using namespace orv::driver;
namespace dns = orv::test::dns;

const dns::Bytes kAnswer = dns::Message(
    7, true, "www.example.com", kDnsTypeA,
    {{"www.example.com", kDnsTypeCname, 300, dns::Name("www.example.com.cdn.example.net")},
     {"www.example.com.cdn.example.net", kDnsTypeCname, 60, dns::Name("e1234.a.cdn.example.net")},
     {"e1234.a.cdn.example.net", kDnsTypeA, 20, {192, 0, 2, 1}},
     {"e1234.a.cdn.example.net", kDnsTypeA, 20, {192, 0, 2, 2}},
     {"e1234.a.cdn.example.net", kDnsTypeA, 20, {192, 0, 2, 3}},
     {"e1234.a.cdn.example.net", kDnsTypeA, 20, {192, 0, 2, 4}}});

void BM_ParseDnsAnswer(benchmark::State& state) {
  DnsMessage message;
  bool parsed = false;
  for (auto _ : state) {
    parsed = ParseDnsMessage(kAnswer, message);
    benchmark::DoNotOptimize(message.addresses.data());
  }
  if (!parsed || message.addresses.size() != 4) state.SkipWithError("wrong reading");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseDnsAnswer);

void BM_QueryAndAnswerIntoTheCache(benchmark::State& state) {
  DnsNameCache cache;
  DnsNameTracker tracker(cache);
  const dns::Bytes query = dns::Message(7, false, "www.example.com", kDnsTypeA);
  DnsPacket packet;
  packet.protocol = IPPROTO_UDP;
  packet.family = AF_INET;
  packet.local_address = {10, 0, 0, 1};
  packet.remote_address = {10, 0, 0, 53};
  packet.local_port = 40000;
  packet.remote_port = kDnsPort;
  packet.pid = 42;
  const auto now = std::chrono::steady_clock::now();
  for (auto _ : state) {
    packet.egress = true;
    packet.payload = query;
    tracker.Apply(packet, now);
    packet.egress = false;
    packet.payload = kAnswer;
    tracker.Apply(packet, now);
  }
  if (cache.HostNameOf(42, AF_INET, {192, 0, 2, 4}, now) != "www.example.com") {
    state.SkipWithError("answer not learned");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueryAndAnswerIntoTheCache);

// state.range(0): how many of the cached addresses the flows go to. A flow usually starts just
// after its answer arrived, so its entry is a recent one (256); 32,768 spreads the lookups over
// the whole cache, each a trip to main memory.
void BM_HostNameLookupInAFullCache(benchmark::State& state) {
  DnsNameCache cache;
  const auto now = std::chrono::steady_clock::now();
  constexpr std::uint32_t kAddresses = kDnsNameCacheEntries / 2;  // two entries each
  for (std::uint32_t i = 0; i < kAddresses; ++i) {
    DnsAddress address{AF_INET,
                       {10, static_cast<std::uint8_t>(i >> 16), static_cast<std::uint8_t>(i >> 8),
                        static_cast<std::uint8_t>(i)},
                       300};
    cache.Remember(1000 + i % 50, address, "service-" + std::to_string(i) + ".example.com", now);
  }
  const auto spread = static_cast<std::uint32_t>(state.range(0));
  std::uint32_t i = 0;
  std::size_t found = 0;
  for (auto _ : state) {
    i = (i + 7919) % spread;
    const std::string name =
        cache.HostNameOf(1000 + i % 50, AF_INET,
                         {10, static_cast<std::uint8_t>(i >> 16), static_cast<std::uint8_t>(i >> 8),
                          static_cast<std::uint8_t>(i)},
                         now);
    found += !name.empty();
  }
  if (found != state.iterations() || cache.Size() != kDnsNameCacheEntries) {
    state.SkipWithError("lookups missed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HostNameLookupInAFullCache)->Arg(256)->Arg(kDnsNameCacheEntries / 2);

}  // namespace
