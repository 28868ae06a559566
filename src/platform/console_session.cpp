#include "platform/console_session.h"

#include <systemd/sd-login.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace orv::platform {
namespace {

constexpr char kConsoleSeat[] = "seat0";

struct FreeDeleter {
  // sd-login hands out malloc()ed text.
  void operator()(char* text) const noexcept {
    std::free(text);
  }  // NOLINT(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
};
using CText = std::unique_ptr<char, FreeDeleter>;

// sd-login answers these when logind, the seat, the session or the field is absent.
bool MeansNoUser(int error) { return error == ENOENT || error == ENXIO || error == ENODATA; }

}  // namespace

OB_STATUSCODE GetConsoleUser(std::uint32_t& uid, int& os_error) {
  char* raw_session = nullptr;
  uid_t session_uid = 0;
  int result = ::sd_seat_get_active(kConsoleSeat, &raw_session, &session_uid);
  const CText session(raw_session);
  if (result >= 0 && session) {
    char* raw_class = nullptr;
    result = ::sd_session_get_class(session.get(), &raw_class);
    const CText session_class(raw_class);
    if (result >= 0) {
      os_error = 0;
      if (!session_class || std::string_view(session_class.get()) != "user") {
        return kObNotFound;
      }
      uid = session_uid;
      return kObSuccess;
    }
  } else if (result >= 0) {
    result = -ENODATA;
  }
  os_error = -result;
  return MeansNoUser(os_error) ? kObNotFound : kObFailure;
}

}  // namespace orv::platform
