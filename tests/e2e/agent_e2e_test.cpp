// The real agent in its own user, network and mount namespaces: flow data in on the channel,
// IPFIX out to a collector, trust switched with orv-vpnstate.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <tuple>

#include "agent_harness.h"
#include "driver/flow_datagram_builder.h"
#include "platform/named_sync.h"
#include "platform/vpn_state_objects.h"
#include "support/namespace_rerun.h"

namespace orv::e2e {
namespace {

constexpr std::uint32_t kSomeProcess = 4242;
constexpr std::uint16_t kFieldSourcePort = 7;
constexpr std::uint16_t kFieldSourceAddress = 8;
constexpr std::uint16_t kFieldDestinationPort = 11;
constexpr std::uint16_t kFieldDestinationAddress = 12;
constexpr std::uint16_t kFieldBytesIn = 12346;
constexpr std::uint16_t kFieldBytesOut = 12347;

#define PREPARE_NAMESPACE()                                                        \
  ORV_RERUN_IN_NAMESPACE("-rnm");                                                  \
  if (const std::string failed = orv::test::PrepareEndpoint("orv-e2e", "10.77.0"); \
      !failed.empty()) {                                                           \
    GTEST_SKIP() << failed;                                                        \
  }

[[nodiscard]] std::multiset<std::uint64_t> sourcePorts(const Collector& collector) {
  std::multiset<std::uint64_t> ports;
  for (const auto& record : collector.FlowRecords()) {
    if (const auto port = record.find(kFieldSourcePort); port != record.end()) {
      ports.insert(port->second.number);
    }
  }
  return ports;
}

// The ports of first .. first + count - 1 that no received record, or more than one, has as its
// source, listed.
[[nodiscard]] std::string portsNotOnce(const Collector& collector, int first, int count) {
  const std::multiset<std::uint64_t> ports = sourcePorts(collector);
  std::string listed;
  for (int port = first; port < first + count; ++port) {
    if (ports.count(port) != 1) {
      listed += std::to_string(port) + "x" + std::to_string(ports.count(port)) + " ";
    }
  }
  return listed;
}

[[nodiscard]] bool received(const Collector& collector, std::uint16_t port) {
  return sourcePorts(collector).count(port) > 0;
}

// The first column of the first row sql gives on the database, "" when it cannot be read.
[[nodiscard]] std::string query(const std::filesystem::path& database, const char* sql) {
  sqlite3* db = nullptr;
  std::string value;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return value;
}

// Rows in the cache table, -1 when the database cannot be read.
[[nodiscard]] int cachedRows(const std::filesystem::path& database) {
  const std::string rows = query(database, "SELECT COUNT(*) FROM PROCESS_DATA");
  return rows.empty() ? -1 : std::stoi(rows);
}

// The value of one counter in orv-status's JSON, or UINT64_MAX when it is not there.
[[nodiscard]] std::uint64_t counterIn(const std::string& json, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  const std::size_t at = json.find(key);
  return at == std::string::npos ? UINT64_MAX
                                 : std::strtoull(json.c_str() + at + key.size(), nullptr, 10);
}

TEST(AgentEndToEndTest, ExportsAdmittedFlowsDropsByRuleAndFollowsTheProfile) {
  PREPARE_NAMESPACE();
  Collector collector;
  AgentProcess agent;
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(agent.WaitForLog("ORV profile is missing, reseting to default values."))
      << agent.Log();
  ASSERT_TRUE(agent.WaitForLog("Profile monitor started.")) << agent.Log();

  // Without a profile collection is off: this flow is never exported.
  SendFlow(TcpFlow(kSomeProcess, 40001));

  agent.WriteProfile(Profile(collector.Port(), "all"));
  ASSERT_TRUE(agent.WaitForLog("New Profile loaded.", 2)) << agent.Log();
  std::uint64_t rounds = 0;
  std::uint64_t sent = 1;  // the flow above
  const auto send_round = [&] {
    SendFlow(TcpFlow(static_cast<std::uint32_t>(agent.Pid()), 40007));  // the agent's own
    SendFlow(TcpFlow(kSomeProcess, 40003, "239.255.255.250"));
    SendFlow(TcpFlow(kSomeProcess, 40004, "169.254.1.1"));
    SendFlow(TcpFlow(kSomeProcess, 40010, "169.1.2.3"));  // public space, not link-local
    SendFlow(TcpFlow(kSomeProcess, 40005, "127.0.0.1"));
    SendFlow(TcpFlow(kSomeProcess, 40006, "255.255.255.255"));
    SendFlow(TcpFlow(kSomeProcess, 40002));
    ++rounds;
    sent += 7;
  };
  ASSERT_TRUE(WaitFor([&] {
    send_round();
    return received(collector, 40002) && received(collector, 40010);
  })) << agent.Log();

  // Bad datagrams are logged and dropped; the agent goes on.
  const std::uint8_t short_datagram[] = {0x9f, 0x05, 0x01, 0x01, 0x00};
  SendToChannel(short_datagram, sizeof(short_datagram));
  KdfFlowDatagram wrong_version = BuildKdfFlowDatagram(TcpFlow(kSomeProcess, 40009));
  wrong_version[2] = 7;
  SendToChannel(wrong_version.data(), wrong_version.size());
  ASSERT_TRUE(WaitFor([&] {
    SendFlow(TcpFlow(kSomeProcess, 40008));
    ++sent;
    return received(collector, 40008);
  })) << agent.Log();
  EXPECT_TRUE(agent.WaitForLog("Received 5 bytes (too little)")) << agent.Log();
  EXPECT_TRUE(agent.WaitForLog("Unknown version of the flow data: 7 - ignoring the data."));

  for (const auto& record : collector.FlowRecords()) {
    if (record.at(kFieldSourcePort).number != 40002) {
      continue;
    }
    EXPECT_EQ(record.at(kFieldSourceAddress).text, "10.77.0.1");
    EXPECT_EQ(record.at(kFieldDestinationAddress).text, "198.51.100.7");
    EXPECT_EQ(record.at(kFieldDestinationPort).number, 443U);
    EXPECT_EQ(record.at(kFieldBytesIn).number, 5678U);
    EXPECT_EQ(record.at(kFieldBytesOut).number, 1234U);
  }
  const std::multiset<std::uint64_t> ports = sourcePorts(collector);
  for (const std::uint16_t dropped : {40001, 40003, 40004, 40005, 40006, 40007, 40009}) {
    EXPECT_EQ(ports.count(dropped), 0U) << "port " << dropped;
  }
  EXPECT_EQ(collector.ProblemCount(), 0U);

  EXPECT_EQ(agent.Terminate(), 0);
  const std::string log = agent.Log();
  EXPECT_NE(log.find("ORV service shutdown. Exiting now."), std::string::npos) << log;

  // The operator's counters tell the same story, in orv-status's JSON and Prometheus forms. The
  // flow source also reports the test's and the agent's own loopback sockets: those counts are
  // lower bounds.
  const std::string status_file = (agent.DataDirectory() / "AgentStatus.json").string();
  const std::string json = RunTool("orv-status", {"--file", status_file});
  const std::string prometheus = RunTool("orv-status", {"--prometheus", "--file", status_file});
  // A slow start may cache the first flows until the collector resolves; they are counted as
  // delivered from the cache, not as exported.
  const std::uint64_t sent_out = counterIn(json, "exported") + counterIn(json, "cache_delivered");
  EXPECT_TRUE(WaitFor([&] { return collector.FlowRecords().size() == sent_out; })) << json;
  const std::vector<std::tuple<std::string, std::uint64_t, bool>> expected = {
      {"channel_refused_malformed", 2, true}, {"channel_refused_sender", 0, true},
      {"dropped_multicast", rounds, true},    {"dropped_link_local", rounds, true},
      {"dropped_broadcast", rounds, true},    {"queue_full", 0, true},
      {"channel_received", sent + 2, false},  {"dropped_own_process", rounds, false},
      {"dropped_loopback", rounds, false}};
  for (const auto& [name, count, exact] : expected) {
    const std::uint64_t counted = counterIn(json, name);
    EXPECT_TRUE(exact ? counted == count : counted >= count) << name << " " << count << " " << json;
    EXPECT_NE(prometheus.find("\norv_" + name + "_total " + std::to_string(counted) + "\n"),
              std::string::npos)
        << name << " in " << prometheus;
  }
  EXPECT_NE(json.find("\"activity\":\"stopping\""), std::string::npos) << json;
}

TEST(AgentEndToEndTest, KeepsUntrustedFlowsInTheCacheAndSendsThemOnceWhenTrusted) {
  PREPARE_NAMESPACE();
  Collector collector;
  AgentProcess agent;
  agent.WriteProfile(Profile(collector.Port(), "all"));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitFor([&] {
    SendFlow(TcpFlow(kSomeProcess, 41999));
    return received(collector, 41999);
  })) << agent.Log();

  ASSERT_EQ(agent.VpnState({"set", "--tnd-type", "2"}), 0);
  ASSERT_TRUE(agent.WaitForLog("New Trusted State: UNTRUSTED")) << agent.Log();
  constexpr int kFlows = 60;
  for (int index = 0; index < kFlows; ++index) {
    SendFlow(TcpFlow(kSomeProcess, static_cast<std::uint16_t>(41000 + index)));
  }
  const std::filesystem::path database = agent.DataDirectory() / "ORV.db";
  // The flows, and the interface records queued while untrusted.
  ASSERT_TRUE(WaitFor([&] { return cachedRows(database) >= kFlows; })) << agent.Log();
  EXPECT_FALSE(received(collector, 41000));

  ASSERT_EQ(agent.VpnState({"set", "--tnd-type", "0"}), 0);
  ASSERT_TRUE(WaitFor([&] { return portsNotOnce(collector, 41000, kFlows).empty(); }))
      << portsNotOnce(collector, 41000, kFlows) << agent.Log();
  ASSERT_TRUE(WaitFor([&] { return cachedRows(database) == 0; })) << agent.Log();
  EXPECT_EQ(portsNotOnce(collector, 41000, kFlows), "");

  // Trusted, but with no usable collector (an empty address): flows go to the cache, more of them
  // than the flow queue holds, and reach the collector once one is configured.
  agent.WriteProfile(Profile(collector.Port(), "all", 0, ""));
  ASSERT_TRUE(agent.WaitForLog("call to setCollector failed.")) << agent.Log();
  constexpr int kWaiting = 3000;
  for (int index = 0; index < kWaiting; ++index) {
    SendFlow(TcpFlow(kSomeProcess, static_cast<std::uint16_t>(50000 + index)));
    if (index % 1000 == 999) {  // in rounds the cache keeps up with, however slow the disk
      ASSERT_TRUE(WaitFor([&] { return cachedRows(database) >= index + 1; })) << agent.Log();
    }
  }
  // Throttled, so that the test's collector socket keeps up with the drain.
  agent.WriteProfile(Profile(collector.Port(), "all", 512));
  ASSERT_TRUE(WaitFor([&] { return portsNotOnce(collector, 50000, kWaiting).empty(); }))
      << portsNotOnce(collector, 50000, kWaiting) << agent.Log();
  EXPECT_EQ(agent.Terminate(), 0);
  EXPECT_EQ(query(database, "PRAGMA integrity_check"), "ok");
}

TEST(AgentEndToEndTest, AStopInTheMiddleOfTheDrainLosesAndRepeatsNothing) {
  PREPARE_NAMESPACE();
  Collector collector;
  AgentProcess agent;
  // Throttled to 512 Kbps (64 KB/s): the drain of 3000 cached flows takes some seconds, in
  // bursts the collector's socket buffer holds.
  agent.WriteProfile(Profile(collector.Port(), "all", 512));
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(agent.WaitForLog("Exporting is enabled")) << agent.Log();
  ASSERT_EQ(agent.VpnState({"set", "--tnd-type", "2"}), 0);
  ASSERT_TRUE(agent.WaitForLog("Exporting is disabled")) << agent.Log();

  constexpr int kFlows = 3000;
  constexpr std::uint16_t kFirstPort = 20000;
  const std::filesystem::path database = agent.DataDirectory() / "ORV.db";
  for (int sent = 0; sent < kFlows; sent += 100) {
    for (int index = sent; index < sent + 100; ++index) {
      // Ended now: older flows could be aged out of the cache.
      KdfFlowData flow = TcpFlow(kSomeProcess, static_cast<std::uint16_t>(kFirstPort + index));
      flow.flow_end = static_cast<std::uint32_t>(::time(nullptr));
      SendFlow(flow);
    }
    ASSERT_TRUE(WaitFor([&] { return cachedRows(database) >= sent + 100; })) << agent.Log();
  }
  const auto distinct_received = [&] {
    const std::multiset<std::uint64_t> ports = sourcePorts(collector);
    return static_cast<int>(std::set<std::uint64_t>(ports.begin(), ports.end()).size());
  };
  ASSERT_EQ(distinct_received(), 0);

  ASSERT_EQ(agent.VpnState({"set", "--tnd-type", "0"}), 0);
  ASSERT_TRUE(WaitFor([&] { return distinct_received() >= kFlows / 5; })) << agent.Log();
  ASSERT_LT(distinct_received(), kFlows * 4 / 5) << "the drain ended before the stop";
  EXPECT_EQ(agent.Terminate(), 0);
  EXPECT_GT(cachedRows(database), 0);

  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(WaitFor([&] { return portsNotOnce(collector, kFirstPort, kFlows).empty(); },
                      std::chrono::seconds(60)))
      << portsNotOnce(collector, kFirstPort, kFlows) << agent.Log();
  ASSERT_TRUE(WaitFor([&] { return cachedRows(database) == 0; })) << agent.Log();
  EXPECT_EQ(portsNotOnce(collector, kFirstPort, kFlows), "");
  EXPECT_EQ(agent.Terminate(), 0);
  EXPECT_EQ(query(database, "PRAGMA integrity_check"), "ok");
}

TEST(AgentEndToEndTest, AContextConsumerKeepsCollectionOnAndReceivesApps) {
  PREPARE_NAMESPACE();
  Collector collector;
  AgentProcess agent;
  agent.WriteProfile(Profile(collector.Port(), "off"));
  ASSERT_TRUE(agent.Start());
  const std::filesystem::path socket = agent.DataDirectory() / "ContextProvider.sock";
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(socket); })) << agent.Log();
  EXPECT_EQ(agent.Log().find("Success: EnableAppFlow"), std::string::npos)
      << "collection mode off: the driver stays off until a consumer comes";

  ToolProcess consumer("orv-context", {"--socket", socket.string()},
                       agent.DataDirectory() / "consumer.out");
  ASSERT_TRUE(agent.WaitForLog("Success: EnableAppFlow")) << agent.Log();
  ASSERT_TRUE(WaitFor([&] {
    SendFlow(TcpFlow(kSomeProcess, 42000));
    return consumer.Output().find(std::to_string(kSomeProcess) + " ") != std::string::npos;
  })) << consumer.Output()
      << agent.Log();
  EXPECT_FALSE(received(collector, 42000)) << "the policy's mode still decides what is exported";

  EXPECT_EQ(consumer.Terminate(), 0);
  ASSERT_TRUE(agent.WaitForLog("Success: DisabledAppFlow", 2)) << agent.Log();
  EXPECT_EQ(agent.Terminate(), 0);
}

TEST(AgentEndToEndTest, AStartUpFailureIsLoggedAndEndsWithAFailingExitStatus) {
  PREPARE_NAMESPACE();
  AgentProcess agent;
  // A file where the data directory's parent should be: the directory cannot be made.
  std::filesystem::create_directories(agent.DataDirectory().parent_path().parent_path());
  std::ofstream(agent.DataDirectory().parent_path()) << "in the way";
  ASSERT_TRUE(agent.Start());
  EXPECT_EQ(agent.WaitExit(), 1);
  const std::string log = agent.Log();
  EXPECT_NE(log.find("failed to create ORVDirectory"), std::string::npos) << log;
  EXPECT_NE(log.find("Agent shutdown failed with the following error - -9999"), std::string::npos)
      << log;
}

TEST(AgentEndToEndTest, ATakenPortAFifoProfileAndAFloodOfBadDatagramsNeitherStopNorDrownIt) {
  PREPARE_NAMESPACE();
  // Someone else holds the flow data channel's port.
  const OBRuntime::UniqueFd squatter(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const sockaddr_in address = Loopback(kChannelPort);
  ASSERT_EQ(::bind(squatter.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)),
            0);
  Collector collector;
  AgentProcess agent;
  // A FIFO in the profile's place would hang a blocking open: it is refused and the agent starts
  // on the default settings.
  std::filesystem::create_directories(agent.DataDirectory());
  const std::filesystem::path profile = agent.DataDirectory() / "ORV_ServiceProfile.xml";
  ASSERT_EQ(::mkfifo(profile.c_str(), 0600), 0);
  ASSERT_TRUE(agent.Start());
  ASSERT_TRUE(agent.WaitForLog("is not a regular file")) << agent.Log();
  ASSERT_TRUE(agent.WaitForLog("Profile monitor started.")) << agent.Log();
  const std::string marker = "; listening on 127.0.0.1:";  // the holder is this process
  ASSERT_TRUE(agent.WaitForLog("(pid " + std::to_string(::getpid()) + ") of uid 0" + marker));
  const auto port = static_cast<std::uint16_t>(
      std::stoul(agent.Log().substr(agent.Log().find(marker) + marker.size())));
  EXPECT_NE(port, kChannelPort);

  std::filesystem::remove(profile);
  agent.WriteProfile(Profile(collector.Port(), "all"));
  ASSERT_TRUE(WaitFor([&] {
    SendFlow(TcpFlow(kSomeProcess, 41001), port);
    return received(collector, 41001);
  })) << agent.Log();

  const std::uint8_t short_datagram[] = {0x9f, 0x05, 0x01, 0x01, 0x00};
  for (int i = 0; i < 100'000; ++i) {
    SendToChannel(short_datagram, sizeof(short_datagram), port);
  }
  ASSERT_TRUE(WaitFor([&] {
    SendFlow(TcpFlow(kSomeProcess, 41002), port);
    return received(collector, 41002);
  })) << agent.Log();
  EXPECT_LE(Occurrences(agent.Log(), "(too little)"), 6U) << "first five, then one a minute";

  // A peer holding the VPN state lock holds up the stop by the lock's time-out at most.
  OBPlatform::NamedMutex lock;
  int lock_error = 0;
  ASSERT_EQ(lock.Open(OBPlatform::kVpnStateLockName), 0);
  ASSERT_EQ(lock.Lock(std::chrono::seconds(5), lock_error), OBPlatform::NamedLockResult::kOwned);
  const auto stop_started = std::chrono::steady_clock::now();
  EXPECT_EQ(agent.Terminate(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - stop_started, std::chrono::seconds(5));
}

}  // namespace
}  // namespace orv::e2e
