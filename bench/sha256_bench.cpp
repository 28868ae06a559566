#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "runtime/sha256_hash_manager.h"
#include "runtime/text.h"

namespace {

// A file of `size` bytes in a fresh temporary directory, removed at the end of the benchmark.
class BenchFile {
 public:
  explicit BenchFile(std::size_t size) {
    std::string pattern = (std::filesystem::temp_directory_path() / "orv-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::abort();
    }
    dir_ = pattern;
    std::string contents(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
      contents[i] = static_cast<char>(i * 7 + (i >> 9));
    }
    std::ofstream(dir_ / "payload.bin", std::ios::binary) << contents;
    path_ = OBRuntime::Utf8ToWide((dir_ / "payload.bin").string());
  }
  ~BenchFile() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  BenchFile(const BenchFile&) = delete;
  BenchFile& operator=(const BenchFile&) = delete;

  [[nodiscard]] const std::wstring& path() const { return path_; }

 private:
  std::filesystem::path dir_;
  std::wstring path_;
};

void BM_GetHashSHA256_CachedUnchangedFile(benchmark::State& state) {
  const BenchFile file(1 << 20);
  OBRuntime::CSha256HashManagerImpl manager;
  std::array<std::uint8_t, 32> digest{};
  OB_STATUSCODE status = manager.GetHashSHA256(file.path(), digest.data(), 32, 1);
  for (auto _ : state) {
    status |= manager.GetHashSHA256(file.path(), digest.data(), 32, 1);
    benchmark::DoNotOptimize(digest);
  }
  if (status != kObSuccess || manager.FilesHashed() != 1) {
    state.SkipWithError("cached hashing failed or re-read the file");
  }
}
BENCHMARK(BM_GetHashSHA256_CachedUnchangedFile);

void BM_GetHashSHA256_ColdFile(benchmark::State& state) {
  const BenchFile file(static_cast<std::size_t>(state.range(0)));
  std::array<std::uint8_t, 32> digest{};
  OB_STATUSCODE status = kObSuccess;
  for (auto _ : state) {
    OBRuntime::CSha256HashManagerImpl manager;  // empty cache: every call reads the file
    status |= manager.GetHashSHA256(file.path(), digest.data(), 32, 1);
    benchmark::DoNotOptimize(digest);
  }
  if (status != kObSuccess) {
    state.SkipWithError("hashing failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_GetHashSHA256_ColdFile)->Arg(4 << 10)->Arg(1 << 20);

void BM_GetHashSHA256_Buffer(benchmark::State& state) {
  const std::string text(static_cast<std::size_t>(state.range(0)), 'x');
  std::size_t total = 0;
  for (auto _ : state) {
    total += OBRuntime::CSha256HashManagerImpl::GetHashSHA256(text.data(), text.size()).size();
  }
  if (total != 64 * static_cast<std::size_t>(state.iterations())) {
    state.SkipWithError("buffer hashing failed");
  }
}
BENCHMARK(BM_GetHashSHA256_Buffer)->Arg(16)->Arg(256);

}  // namespace
