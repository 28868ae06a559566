// Starting the agent's threads: every thread the agent starts begins with an alternate signal
// stack of its own, so that a stack overflow on any of them still runs the crash handler (which
// needs a stack to run on) and leaves a dump.
//
// Safe from any thread.
#pragma once

#include <functional>
#include <thread>
#include <tuple>
#include <utility>

#include "common/status.h"

namespace OBRuntime {

// Gives the calling thread an alternate signal stack (with a guard page) for the rest of its
// life; the one it had before comes back when the thread ends. A second call on the same thread
// does nothing. kObOutOfMemory or kObFailure (logged) when it cannot be set up.
[[nodiscard]] OB_STATUSCODE InstallAlternateSignalStack();

// std::thread(function, arguments...), whose first step is InstallAlternateSignalStack (a
// failure is logged and the thread runs all the same).
template <typename Function, typename... Arguments>
[[nodiscard]] std::thread StartAgentThread(Function&& function, Arguments&&... arguments) {
  return std::thread(
      [function = std::forward<Function>(function),
       arguments = std::make_tuple(std::forward<Arguments>(arguments)...)]() mutable {
        static_cast<void>(InstallAlternateSignalStack());
        std::apply(
            [&function](auto&&... values) {
              std::invoke(std::move(function), std::forward<decltype(values)>(values)...);
            },
            std::move(arguments));
      });
}

}  // namespace OBRuntime
