// Helpers for the context tests: flow records, expected payloads built byte by byte, and
// checks of what a consumer receives.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "common/orv_flow_object.h"
#include "context/network_app_payload.h"
#include "support/context_provider_test_client.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace orv::context {

using orv::test::WaitUntil;

inline std::string SocketPath(const orv::test::TempDir& dir) {
  return (dir.path() / "ContextProvider.sock").string();
}

inline std::shared_ptr<ORVFlowObject> Flow(std::uint32_t process_id, const std::wstring& name) {
  auto flow = std::make_shared<ORVFlowObject>();
  flow->process_id = process_id;
  flow->process_name = name;
  return flow;
}

// The 2002 payload of a name of Basic Multilingual Plane characters: the pid, then the name in
// UTF-16LE with its terminating zero.
inline std::vector<std::uint8_t> AppPayload(std::uint32_t process_id, const std::wstring& name) {
  std::vector<std::uint8_t> payload;
  for (int shift = 0; shift < 32; shift += 8) payload.push_back(process_id >> shift);
  for (const wchar_t unit : name + L'\0') {
    payload.insert(payload.end(), {std::uint8_t(unit), std::uint8_t(unit >> 8)});
  }
  return payload;
}

// The next message's version, type, part count and payload.
inline auto Next(orv::test::ContextTestClient& client) {
  const auto message = client.ReceiveMessage();
  return message
             ? std::tuple(message->version, message->type, message->part_count, message->payload)
             : std::tuple(0u, 0u, 0u, std::vector<std::uint8_t>{});
}

inline void ExpectRestart(orv::test::ContextTestClient& client) {
  EXPECT_EQ(Next(client), std::tuple(3u, kMessageContextRestart, 1u, std::vector<std::uint8_t>{}));
}

inline void ExpectApp(orv::test::ContextTestClient& client, std::uint32_t process_id,
                      const std::wstring& name) {
  EXPECT_EQ(Next(client), std::tuple(3u, kMessageNetworkApp, 1u, AppPayload(process_id, name)));
}

}  // namespace orv::context
