// CLZS on what the flow cache stores: single serialised flow records (~300 bytes) and larger
// buffers of varied records, plus random bytes as the incompressible worst case. Counters report
// the compression ratio (uncompressed / compressed).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "runtime/lzs.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Process {
  std::u16string image;
  std::u16string user;
  Bytes hash;
};

void PutLe(Bytes& out, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PutUtf16(Bytes& out, const std::u16string& text) {
  PutLe(out, text.size(), 2);
  for (char16_t unit : text) PutLe(out, unit, 2);
}

std::u16string Widen(const std::string& text) { return {text.begin(), text.end()}; }

std::u16string AddressText(std::mt19937& random, bool local) {
  if (local) return Widen("192.168.1." + std::to_string(2 + random() % 40));
  return Widen(std::to_string(random() % 223 + 1) + "." + std::to_string(random() % 256) + "." +
               std::to_string(random() % 256) + "." + std::to_string(random() % 256));
}

// Serialised flow records: tag, version, little-endian counters and times, address texts,
// UTF-16LE process, user and host names, and the 32-byte image hash of the process.
class FlowRecordSource {
 public:
  FlowRecordSource() {
    const char* images[] = {"/usr/lib/firefox/firefox", "/usr/bin/ssh",
                            "/usr/sbin/chronyd",        "/usr/lib/systemd/systemd-resolved",
                            "/opt/zoom/zoom",           "/usr/bin/python3.11",
                            "/usr/share/code/code",     "/usr/bin/curl"};
    const char* users[] = {"ws-0231\\alice", "ws-0231\\bob", "SYSTEM", "CORP\\carol.jones"};
    for (const char* image : images) {
      Bytes hash(32);
      for (auto& byte : hash) byte = static_cast<std::uint8_t>(random_());
      processes_.push_back({Widen(image), Widen(users[random_() % 4]), hash});
    }
    const char* hosts[] = {"www.example.com",
                           "api.github.com",
                           "time.cloudflare.com",
                           "update.vendor-cdn.net",
                           "mail.corp.example.org",
                           "zoom.us",
                           "dns.google",
                           "login.microsoftonline.com"};
    for (const char* host : hosts) hosts_.push_back(Widen(host));
  }

  Bytes Next() {
    const Process& process = processes_[random_() % processes_.size()];
    Bytes record = {'O', 'R', 'V', 'N', 3};
    PutLe(record, 0, 4);  // total length, filled in below
    PutLe(record, ++flow_id_, 8);
    PutLe(record, 1000 + random_() % 30000, 4);  // pid
    PutLe(record, 1 + random_() % 1000, 4);      // parent pid
    const std::uint64_t start = 1767000000 + flow_id_ * 3 + random_() % 5;
    PutLe(record, start, 8);
    PutLe(record, start + random_() % 120, 8);
    PutLe(record, random_() % 100000, 8);   // bytes out
    PutLe(record, random_() % 2000000, 8);  // bytes in
    PutLe(record, 32768 + random_() % 28000, 2);
    PutLe(record, random_() % 4 == 0 ? 80 : 443, 2);
    PutLe(record, random_() % 5 == 0 ? 17 : 6, 1);
    PutLe(record, 2, 2);  // address family
    PutLe(record, 3, 4);  // interface index
    PutUtf16(record, AddressText(random_, true));
    PutUtf16(record, AddressText(random_, false));
    PutUtf16(record, process.image);
    PutUtf16(record, process.user);
    PutUtf16(record, hosts_[random_() % hosts_.size()]);
    PutUtf16(record, u"wlp2s0");
    record.insert(record.end(), process.hash.begin(), process.hash.end());
    const auto length = static_cast<std::uint32_t>(record.size());
    for (int i = 0; i < 4; ++i) record[5 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    return record;
  }

  // Records concatenated up to exactly size bytes.
  Bytes Buffer(std::size_t size) {
    Bytes buffer;
    while (buffer.size() < size) {
      const Bytes record = Next();
      buffer.insert(buffer.end(), record.begin(), record.end());
    }
    buffer.resize(size);
    return buffer;
  }

 private:
  std::mt19937 random_{20261206};
  std::uint64_t flow_id_ = 880000;
  std::vector<Process> processes_;
  std::vector<std::u16string> hosts_;
};

Bytes RandomBytes(std::size_t size) {
  std::mt19937 random(7);
  Bytes bytes(size);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

Bytes CompressOnce(OBRuntime::CLZS& lzs, const Bytes& input) {
  Bytes block(input.size() + input.size() / 8 + 64);
  auto length = static_cast<std::uint32_t>(block.size());
  if (lzs.Compress(input.data(), static_cast<std::uint32_t>(input.size()), block.data(), &length) !=
      kObSuccess) {
    return {};
  }
  block.resize(length);
  return block;
}

void RunCompress(benchmark::State& state, const Bytes& input) {
  OBRuntime::CLZS lzs;
  Bytes block(input.size() + input.size() / 8 + 64);
  std::uint32_t length = 0;
  for (auto _ : state) {
    length = static_cast<std::uint32_t>(block.size());
    const OB_STATUSCODE status =
        lzs.Compress(input.data(), static_cast<std::uint32_t>(input.size()), block.data(), &length);
    benchmark::DoNotOptimize(status);
    benchmark::DoNotOptimize(block.data());
  }
  Bytes output(input.size());
  auto output_length = static_cast<std::uint32_t>(output.size());
  if (lzs.Decompress(block.data(), length, output.data(), &output_length) != kObSuccess ||
      output != input) {
    state.SkipWithError("compressed block does not decode to the input");
    return;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
  state.counters["ratio"] = static_cast<double>(input.size()) / length;
}

void RunDecompress(benchmark::State& state, const Bytes& input) {
  OBRuntime::CLZS lzs;
  const Bytes block = CompressOnce(lzs, input);
  Bytes output(input.size());
  for (auto _ : state) {
    auto length = static_cast<std::uint32_t>(output.size());
    const OB_STATUSCODE status = lzs.Decompress(
        block.data(), static_cast<std::uint32_t>(block.size()), output.data(), &length);
    benchmark::DoNotOptimize(status);
    benchmark::DoNotOptimize(output.data());
  }
  if (block.empty() || output != input) {
    state.SkipWithError("decoded block differs from the input");
    return;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.size()));
  state.counters["ratio"] = static_cast<double>(input.size()) / block.size();
}

void BM_Compress_FlowRecord(benchmark::State& state) {
  RunCompress(state, FlowRecordSource().Next());
}
BENCHMARK(BM_Compress_FlowRecord);

void BM_Decompress_FlowRecord(benchmark::State& state) {
  RunDecompress(state, FlowRecordSource().Next());
}
BENCHMARK(BM_Decompress_FlowRecord);

void BM_Compress_FlowRecords(benchmark::State& state) {
  RunCompress(state, FlowRecordSource().Buffer(static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(BM_Compress_FlowRecords)->Arg(4096)->Arg(65536);

void BM_Decompress_FlowRecords(benchmark::State& state) {
  RunDecompress(state, FlowRecordSource().Buffer(static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(BM_Decompress_FlowRecords)->Arg(4096)->Arg(65536);

void BM_Compress_Random(benchmark::State& state) {
  RunCompress(state, RandomBytes(static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(BM_Compress_Random)->Arg(65536);

void BM_Decompress_Random(benchmark::State& state) {
  RunDecompress(state, RandomBytes(static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(BM_Decompress_Random)->Arg(65536);

}  // namespace
