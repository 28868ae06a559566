// DecodeIDN on the host names the driver reports: a plain name (widened only), a name with one
// Punycode label, and a long name of many labels.
#include <benchmark/benchmark.h>

#include <string>

#include "flow/idn_utils.h"

namespace {

void RunDecode(benchmark::State& state, const std::string& name, const std::wstring& expected) {
  std::wstring out;
  OB_STATUSCODE status = kObFailure;
  for (auto _ : state) {
    status = IDNUtils::DecodeIDN(name.data(), name.size(), out);
    benchmark::DoNotOptimize(out.data());
  }
  if (status != kObSuccess || out != expected) state.SkipWithError("wrong decoding");
  state.SetItemsProcessed(state.iterations());
}

void BM_DecodeIDN_TypicalName(benchmark::State& state) {
  RunDecode(state, "www.example.com", L"www.example.com");
}
BENCHMARK(BM_DecodeIDN_TypicalName);

void BM_DecodeIDN_PunycodeLabel(benchmark::State& state) {
  RunDecode(state, "www.xn--bcher-kva.example", L"www.b\u00fccher.example");
}
BENCHMARK(BM_DecodeIDN_PunycodeLabel);

void BM_DecodeIDN_LongName(benchmark::State& state) {
  std::string name;
  std::wstring expected;
  for (int i = 0; i < 12; ++i) {
    name += "segment-" + std::to_string(i) + "-cdn.";
    expected += L"segment-" + std::to_wstring(i) + L"-cdn.";
  }
  name += "example.net";
  expected += L"example.net";
  RunDecode(state, name, expected);
}
BENCHMARK(BM_DecodeIDN_LongName);

}  // namespace
