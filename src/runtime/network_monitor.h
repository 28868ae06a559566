// The runtime's network monitor: tells observers when a network link goes down or up and when
// the endpoint gains or loses a usable default route, from an rtnetlink socket.
//
// Loopback links are ignored. A link is up when it is administratively up with operational state
// UP, or when its operational state is UNKNOWN and it is running (dummy and tun links never
// report UP). The network is reachable when a unicast default route (IPv4 or IPv6, any table but
// the local one) leaves through an up link. The state found at Start is the baseline and is not
// reported. After each batch of netlink messages the monitor reports every link that went down
// or up (a batch that only changed the addresses of up links reports one link "up", since what an
// interface holds changed), then the reachability when it changed or when some link changed (so
// that an observer that takes a link going down as "unreachable" learns at once whether a route
// remains). When the kernel drops notifications (a full socket buffer), the links and routes are
// read afresh and the differences reported.
//
// Threads: Start and Stop from one controlling thread; Register and DeRegister from any thread.
// Observers are called on the monitor's thread while it holds the observer lock, so a
// DeRegister that returns guarantees no call is in progress; an observer must not register,
// deregister or stop from inside a callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "common/status.h"
#include "runtime/unique_fd.h"

namespace OBRuntime::NetworkMonitor {

// OnInterfaceChange states.
inline constexpr int kInterfaceUp = 0;
inline constexpr int kInterfaceDown = 1;
// OnNetworkStateChange states.
inline constexpr int kNetworkNotReachable = 0;
inline constexpr int kNetworkReachable = 1;

class INetworkChangeObserver {
 public:
  virtual ~INetworkChangeObserver() = default;
  // A link went down (kInterfaceDown) or up (kInterfaceUp), or an up link's addresses changed
  // (kInterfaceUp).
  virtual void OnInterfaceChange(int state) = 0;
  // Kept for the interface's shape; this monitor has no trusted-state source and never calls it.
  virtual void OnTrustedStateChange(int state) = 0;
  // kNetworkReachable or kNetworkNotReachable.
  virtual void OnNetworkStateChange(int state) = 0;
};

namespace internal {

// What one link message says about a link.
struct LinkReport {
  int index = 0;
  bool loopback = false;
  bool up = false;
};

// One parsed netlink message: links, routes, address changes (kAddress, link.index only), the
// end or failure of a dump, or a malformed buffer (kOverrun); other message types are skipped.
struct NetlinkEvent {
  enum class Kind { kLinkNew, kLinkDel, kRoute, kAddress, kDone, kError, kOverrun };
  Kind kind = Kind::kAddress;
  LinkReport link;              // kLinkNew, kLinkDel
  std::vector<int> route_oifs;  // kRoute: output links (next hops that are dead or down left out)
  bool default_route = false;   // kRoute: a usable default route (dst length 0, unicast)
  std::uint32_t sequence = 0;   // of the request answered; 0 for notifications
  int error = 0;                // kError: the netlink error (negative errno)
};

// Parses one buffer of netlink messages as received; stops at the first malformed header
// (reported as kOverrun, so the caller reads the state afresh). Never reads out of bounds.
[[nodiscard]] std::vector<NetlinkEvent> ParseNetlinkBuffer(std::span<const std::uint8_t> buffer);
// Up by the rule above, from the link flags and the IFLA_OPERSTATE value.
[[nodiscard]] bool IsLinkUp(std::uint32_t flags, std::uint8_t operstate);

}  // namespace internal

class CNetworkMonitor {
 public:
  // The process-wide monitor, created on first use.
  static CNetworkMonitor& GetInstance();

  CNetworkMonitor() = default;
  ~CNetworkMonitor();
  CNetworkMonitor(const CNetworkMonitor&) = delete;
  CNetworkMonitor& operator=(const CNetworkMonitor&) = delete;

  // Opens the netlink socket, reads the baseline and starts the thread: 0; -9993 when running;
  // -9987 when the socket cannot be opened; -9999 otherwise (logged).
  [[nodiscard]] OB_STATUSCODE Start();
  // Wakes and joins the thread and closes the socket; 0 (also when not running).
  OB_STATUSCODE Stop();

  // Adds the observer (once); -9994 for null.
  [[nodiscard]] OB_STATUSCODE RegisterForNetworkChange(INetworkChangeObserver* observer);
  // Removes it; an observer never registered is success; -9994 for null.
  [[nodiscard]] OB_STATUSCODE DeRegisterForNetworkChange(INetworkChangeObserver* observer);

 private:
  void monitorThreadProc();
  // Reads every pending message; false when the socket failed for good.
  [[nodiscard]] bool drainSocket(bool& links_changed, bool& addresses_changed, bool& resync);
  void applyLink(const internal::NetlinkEvent& event, bool notify, bool& changed);
  // Reads all links afresh; reports differences when notify.
  [[nodiscard]] bool resyncLinks(bool notify, bool& changed);
  // Dumps the routes and decides reachability over the current links.
  [[nodiscard]] bool readReachability(bool& reachable);
  // Sends one dump request on a fresh socket and collects the answers.
  [[nodiscard]] bool dump(std::uint16_t type, std::vector<internal::NetlinkEvent>& events);
  void notifyInterface(int state);
  void notifyNetwork(int state);

  std::mutex lifecycle_mutex_;  // serialises Start and Stop
  UniqueFd socket_;             // set before the thread starts, closed after it is joined
  UniqueFd wake_;               // eventfd that Stop writes
  std::thread thread_;

  // Owned by the monitor thread once it runs (Start fills them before starting it).
  std::map<int, bool> links_;  // index -> up, loopback excluded
  bool reachable_ = false;
  std::uint32_t sequence_ = 0;

  std::mutex observers_mutex_;
  std::vector<INetworkChangeObserver*> observers_;  // guarded by observers_mutex_
};

}  // namespace OBRuntime::NetworkMonitor
