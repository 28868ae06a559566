// Loading a typical service profile from a file: collector, criteria, cache and troubleshooting
// settings and three policies (vpn, trusted, untrusted) carrying 20 filter rules between them,
// about 6 KB. Each iteration is one whole LoadProfile: read, parse, validate, copy in.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "config/orv_profile.h"

namespace {

std::string Rule(int i) {
  const std::string n = std::to_string(i);
  switch (i % 4) {
    case 0:
      return "<Rule><FilterName>app " + n +
             "</FilterName><FilterType>ignore</FilterType>"
             "<Equals><Field>12340</Field><Value>app" +
             n + "</Value></Equals></Rule>\n";
    case 1:
      return "<Rule><FilterName>host " + n +
             "</FilterName><FilterType>ignore</FilterType>"
             "<Equals><Field>12345</Field><Value>*.ads" +
             n + ".example</Value></Equals></Rule>\n";
    case 2:
      return "<Rule><FilterName>net " + n +
             "</FilterName><FilterType>collect</FilterType>"
             "<Equals><Field>12</Field><Value>10." +
             n +
             ".0.0/16</Value></Equals>"
             "<NotEquals><Field>11</Field><Value>53</Value></NotEquals></Rule>\n";
    default:
      return "<Rule><FilterName>v6 " + n +
             "</FilterName><FilterType>ignore</FilterType>"
             "<Equals><Field>28</Field><Value>2001:db8:" +
             n + "::/48</Value></Equals></Rule>\n";
  }
}

std::string Policy(const std::string& type, const std::string& mode, int first_rule, int rules) {
  std::string text = "  <Policy>\n    <PolicyName>" + type + "</PolicyName>\n    <NetworkType>" +
                     type + "</NetworkType>\n    <Type>" + mode +
                     "</Type>\n    <Fields>12333,12338,12339,12344</Fields>\n"
                     "    <AnonFields>12340,12345</AnonFields>\n    <FlowFilterRules>\n";
  for (int i = first_rule; i < first_rule + rules; ++i) {
    text += "      " + Rule(i);
  }
  return text + "    </FlowFilterRules>\n  </Policy>\n";
}

std::string TypicalProfile() {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ORVProfile>\n"
         "  <CollectorConfiguration>\n    <CollectorIP>collector.example.com</CollectorIP>\n"
         "    <Port>4739</Port>\n  </CollectorConfiguration>\n"
         "  <CollectionMode>all</CollectionMode>\n"
         "  <CollectionCriteria>\n    <Broadcast>false</Broadcast>\n"
         "    <Multicast>true</Multicast>\n  </CollectionCriteria>\n"
         "  <IPFIXInterval>120</IPFIXInterval>\n  <AggInterval>30</AggInterval>\n"
         "  <ThrottleRate>500</ThrottleRate>\n"
         "  <TemplateReportInterval>60</TemplateReportInterval>\n"
         "  <CacheConfig>\n    <MaxSize>100</MaxSize>\n    <MaxDuration>7</MaxDuration>\n"
         "  </CacheConfig>\n  <TroubleShoot>\n    <Pattern>*firefox*</Pattern>\n"
         "  </TroubleShoot>\n  <DataCollectionPolicy>\n" +
         Policy("vpn", "exclude", 0, 4) + Policy("trusted", "exclude", 4, 8) +
         Policy("untrusted", "include", 12, 8) + "  </DataCollectionPolicy>\n</ORVProfile>\n";
}

void BM_LoadProfile_Typical(benchmark::State& state) {
  char path[] = "/tmp/orv-profile-bench-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) {
    state.SkipWithError("no temporary file");
    return;
  }
  ::close(fd);
  const std::string profile = TypicalProfile();
  std::ofstream(path) << profile;
  const std::wstring wide_path(path, path + sizeof(path) - 1);
  benchmark::IterationCount loaded = 0;
  for (auto _ : state) {
    loaded += CORVProfile::LoadProfile(wide_path) == kObSuccess ? 1 : 0;
  }
  ::unlink(path);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * profile.size()));
  const DataCollectionPolicy trusted =
      CORVProfile::GetInstance().GetPolicy(kPolicySlotTrusted, false);
  if (loaded != state.iterations() || trusted.filter_engine->GetRuleCount() != 8) {
    state.SkipWithError("the profile did not load as expected");
  }
}

BENCHMARK(BM_LoadProfile_Typical)->Unit(benchmark::kMicrosecond);

}  // namespace
