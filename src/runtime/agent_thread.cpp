#include "runtime/agent_thread.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

#include "runtime/logger.h"

namespace OBRuntime {
namespace {

// Room for the crash handler's own frames on top of what the system asks for a signal frame.
constexpr std::size_t kAlternateStackBytes = 64 * 1024;

// One thread's alternate signal stack, with a guard page below it; the thread's previous
// alternate stack comes back when the thread ends.
class AlternateStack {
 public:
  AlternateStack() = default;
  ~AlternateStack() {
    if (mapping_ != MAP_FAILED) {
      ::sigaltstack(&previous_, nullptr);
      ::munmap(mapping_, mapping_size_);
    }
  }
  AlternateStack(const AlternateStack&) = delete;
  AlternateStack& operator=(const AlternateStack&) = delete;

  [[nodiscard]] OB_STATUSCODE Install() {
    if (mapping_ != MAP_FAILED) {
      return kObSuccess;
    }
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const long minimum = ::sysconf(_SC_SIGSTKSZ);
    const std::size_t usable =
        kAlternateStackBytes + static_cast<std::size_t>(std::max(minimum, long{MINSIGSTKSZ}));
    const std::size_t size = page + (usable + page - 1) / page * page;
    void* mapping =
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
      OB_LOG_ERROR("mmap of %zu bytes for the signal stack failed: %s", size,
                   ErrnoText(errno).c_str());
      return kObOutOfMemory;
    }
    stack_t stack{};
    stack.ss_sp = static_cast<char*>(mapping) + page;
    stack.ss_size = size - page;
    if (::mprotect(mapping, page, PROT_NONE) != 0 || ::sigaltstack(&stack, &previous_) != 0) {
      OB_LOG_ERROR("signal stack setup failed: %s", ErrnoText(errno).c_str());
      ::munmap(mapping, size);
      return kObFailure;
    }
    mapping_ = mapping;
    mapping_size_ = size;
    return kObSuccess;
  }

 private:
  void* mapping_ = MAP_FAILED;
  std::size_t mapping_size_ = 0;
  stack_t previous_{};
};

thread_local AlternateStack t_alternate_stack;

}  // namespace

OB_STATUSCODE InstallAlternateSignalStack() { return t_alternate_stack.Install(); }

}  // namespace OBRuntime
