// oborvagent: the endpoint flow monitor. Takes no options; the service profile in the ORV data
// directory is its only configuration. Runs in the foreground, under systemd (Type=notify) or
// from a shell, until SIGTERM or SIGINT.
#include "core/orv_agent.h"
#include "core/service_host.h"
#include "crash/exception_handler.h"

namespace {

// The service host's view of the agent.
class ServiceAgent final : public IServiceAgent {
 public:
  int MainThreadProc() override { return agent_.MainThreadProc(); }
  void Stop() override { agent_.Stop(); }
  void OnSessionChange() override { agent_.OnSessionChange(); }

 private:
  CORVAgent agent_;
};

}  // namespace

int main() {
  // First, so that a crash anywhere later leaves a dump.
  const CExceptionHandlerEx crash_handler;
  // Before any thread starts, so that every thread inherits the blocked set.
  if (BlockServiceSignals() != kObSuccess) {
    return 1;
  }
  ServiceAgent agent;
  return RunService(agent);
}
