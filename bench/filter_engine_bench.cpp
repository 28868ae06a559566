// Flow admission's policy check: ApplyPolicy on one flow record against the profile policy of a
// trusted network holding 10 or 100 filter rules (a mix of exact equality, wildcard and CIDR
// tests, the last rule of each ten being the one that matches every third flow). Each iteration
// judges one flow; items per second is flows per second.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "config/data_collection_policy.h"
#include "config/orv_profile.h"

namespace {

class TrustedNetwork : public ITrustedNetworkState {
 public:
  int GetNetworkType() const override { return NETWORK_TYPE_TRUSTED; }
  bool IsVpnConnected() const override { return false; }
};

std::string Test(const std::string& kind, int field, const std::string& value) {
  return "<" + kind + "><Field>" + std::to_string(field) + "</Field><Value>" + value +
         "</Value></" + kind + ">";
}

// Ten rules per block: four exact, three wildcard, three CIDR.
std::string RuleBlock(int block) {
  const std::string n = std::to_string(block);
  const std::vector<std::string> tests = {
      Test("Equals", 12340, "proc" + n),
      Test("Equals", 11, std::to_string(10000 + block)),
      Test("Equals", 12338, "HOST\\user" + n),
      Test("NotEquals", 4, "6") + Test("Equals", 7, "5353"),
      Test("Equals", 12345, "*.blocked" + n + ".example"),
      Test("Equals", 12340, "updater" + n + "?"),
      Test("Equals", 12344, "corp" + n + "*"),
      Test("Equals", 12, "172.16." + std::to_string(block % 256) + ".0/24"),
      Test("Equals", 28, "2001:db8:" + n + "::/48"),
      Test("Equals", 8, "10.99.0.0/16"),  // matches the flows with source 10.99.x.x
  };
  std::string rules;
  for (const auto& test : tests) {
    rules += "<Rule><FilterName>r</FilterName><FilterType>ignore</FilterType>" + test + "</Rule>";
  }
  return rules;
}

std::string ProfileWithRules(int rule_count) {
  std::string rules;
  for (int block = 0; block < rule_count / 10; ++block) {
    rules += RuleBlock(block);
  }
  return "<ORVProfile>\n<DataCollectionPolicy>\n<Policy>\n<NetworkType>trusted</NetworkType>"
         "<Type>exclude</Type><Fields>12333</Fields>\n<FlowFilterRules>\n" +
         rules + "</FlowFilterRules>\n</Policy>\n</DataCollectionPolicy>\n</ORVProfile>";
}

std::vector<ORVFlowObject> Flows() {
  std::vector<ORVFlowObject> flows(3);
  for (std::size_t i = 0; i < flows.size(); ++i) {
    ORVFlowObject& f = flows[i];
    f.source_address = i == 2 ? "10.99.1.7" : "192.168.1.20";
    f.destination_address = "93.184.216.34";
    f.destination_port = 443;
    f.source_port = 51432;
    f.protocol = 6;
    f.process_name = L"firefox-bin";
    f.process_user_name = L"desk01\\alice";
    f.dns_suffix = L"home.example";
    f.destination_host_name = L"www.example.com";
  }
  return flows;
}

void BM_ApplyPolicy(benchmark::State& state) {
  static TrustedNetwork network;
  CORVProfile::GetInstance().SetTrustedNetworkState(&network);
  if (CORVProfile::LoadProfileFromBuffer(ProfileWithRules(static_cast<int>(state.range(0)))) !=
      kObSuccess) {
    state.SkipWithError("profile did not load");
    return;
  }
  RefreshProfilePolicy();
  const std::vector<ORVFlowObject> flows = Flows();
  std::size_t kept = 0;
  std::size_t i = 0;
  for (auto _ : state) {
    kept += ApplyPolicy(flows[i]) ? 1 : 0;
    i = i == 2 ? 0 : i + 1;
  }
  state.SetItemsProcessed(state.iterations());
  const auto expected_kept = state.iterations() - state.iterations() / 3;
  if (kept + 1 < static_cast<std::size_t>(expected_kept) ||
      kept > static_cast<std::size_t>(expected_kept) + 1) {
    state.SkipWithError("unexpected verdicts");
  }
  CORVProfile::GetInstance().SetTrustedNetworkState(nullptr);
}

void BM_ApplyPolicy_10Rules(benchmark::State& state) { BM_ApplyPolicy(state); }
void BM_ApplyPolicy_100Rules(benchmark::State& state) { BM_ApplyPolicy(state); }

BENCHMARK(BM_ApplyPolicy_10Rules)->Arg(10);
BENCHMARK(BM_ApplyPolicy_100Rules)->Arg(100);

}  // namespace
