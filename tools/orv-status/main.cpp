// orv-status: prints what a running agent counted of its flows.
//
//   orv-status [--prometheus] [--file PATH]
//
// Reads the status file the agent replaces every 10 s (AgentStatus.json in the ORV data
// directory, or PATH) and prints it as one JSON object, or with --prometheus in the Prometheus
// text exposition format (for node_exporter's textfile collector). A status older than a minute
// is still printed, with a warning on standard error: the agent may not be running. Exit status:
// 0 printed, 1 the file is missing or not a status, 2 a usage error.
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "common/operator_counters.h"
#include "runtime/text.h"
#include "runtime/utils.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr std::int64_t kStaleSeconds = 60;

struct Options {
  std::string file;
  bool prometheus = false;
};

int Usage(const char* problem) {
  std::fprintf(stderr, "orv-status: %s\nusage: orv-status [--prometheus] [--file PATH]\n", problem);
  return kExitUsage;
}

const char* ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--prometheus") {
      options.prometheus = true;
    } else if (argument == "--file" && i + 1 < argc) {
      options.file = argv[++i];
    } else {
      return "unknown or incomplete argument";
    }
  }
  if (options.file.empty()) {
    options.file =
        OBRuntime::WideToUtf8(OBRuntime::Utils::GetORVDataDirectory()) + "/AgentStatus.json";
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const char* problem = ParseOptions(argc, argv, options)) {
    return Usage(problem);
  }
  std::ifstream file(options.file, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  OperatorStatus status;
  if (!file.is_open()) {
    std::fprintf(stderr, "orv-status: cannot read %s (is the agent running?)\n",
                 options.file.c_str());
    return kExitFailure;
  }
  if (ParseStatusJson(text, status) != kObSuccess) {
    std::fprintf(stderr, "orv-status: %s is not an agent status file\n", options.file.c_str());
    return kExitFailure;
  }
  const std::int64_t age = static_cast<std::int64_t>(std::time(nullptr)) - status.updated;
  if (age > kStaleSeconds) {
    std::fprintf(stderr, "orv-status: the status is %lld s old; the agent may not be running\n",
                 static_cast<long long>(age));
  }
  const std::string out = options.prometheus ? FormatPrometheus(status) : FormatStatusJson(status);
  std::fputs(out.c_str(), stdout);
  return 0;
}
