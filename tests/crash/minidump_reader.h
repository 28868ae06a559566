// Reads what the crash tests check from a minidump, by the container's published layout rather
// than the writer's structures. Every offset and size is checked against the file before use,
// so a malformed dump fails with a reason instead of reading past the bytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace orv::test {

struct DumpModule {
  std::uint64_t base = 0, end = 0;
  std::string name;      // ASCII of the UTF-16 name
  std::string build_id;  // after the "BpEL" CodeView signature; empty without one
};

struct ParsedDump {
  std::string error;  // empty when the dump parsed
  std::uint32_t stream_count = 0, platform = 0, process_id = 0, architecture = 0;
  // The header's flags; the exception stream and its x86-64 context.
  std::uint32_t exception_thread = 0, exception_code = 0, context_flags = 0;
  std::uint64_t flags = 0, exception_address = 0, context_rsp = 0, context_rip = 0;
  std::vector<std::uint64_t> exception_parameters;
  std::vector<std::uint32_t> thread_ids;
  std::uint64_t stack_start = 0;  // of the first thread
  std::string stack;              // its captured bytes
  std::vector<DumpModule> modules;
};

inline ParsedDump ReadDump(const std::string& bytes) {
  ParsedDump dump;
  std::map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> streams;  // size, offset
  const auto check = [](bool holds, const std::string& reason) {
    if (!holds) throw std::out_of_range(reason);
  };
  // Little-endian; at() refuses bytes past the end.
  const auto get = [&](std::uint64_t at, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = size; i-- > 0;) value = value << 8 | (bytes.at(at + i) & 0xFF);
    return value;
  };
  const auto u32 = [&](std::uint64_t at) { return static_cast<std::uint32_t>(get(at, 4)); };
  // The bytes a (size, offset) descriptor at this offset names.
  const auto located = [&](std::uint64_t at) {
    check(std::uint64_t{u32(at + 4)} + u32(at) <= bytes.size(), "out of bounds");
    return bytes.substr(u32(at + 4), u32(at));
  };
  const auto stream = [&](std::uint32_t type, std::uint32_t min_size) -> std::uint64_t {
    check(streams[type].first >= min_size, "stream " + std::to_string(type) + " missing or short");
    return streams[type].second;
  };
  // A count, then entries of entry_size bytes filling the stream exactly; the first entry.
  const auto list = [&](std::uint32_t type, std::uint32_t entry_size, std::uint32_t& count) {
    count = u32(stream(type, 4));
    check(streams[type].first == 4 + std::uint64_t{entry_size} * count, "list size");
    return stream(type, 4) + 4;
  };
  try {
    check(u32(0) == 0x504D444D && (u32(4) & 0xFFFF) == 0xA793, "no MDMP header");
    dump.stream_count = u32(8);
    dump.flags = get(24, 8);
    for (std::uint64_t i = 0, at = u32(12); i < dump.stream_count; ++i, at += 12) {
      static_cast<void>(located(at + 4));
      streams[u32(at)] = {u32(at + 4), u32(at + 8)};
    }
    dump.architecture = static_cast<std::uint32_t>(get(stream(7, 56), 2));
    dump.platform = u32(stream(7, 56) + 20);
    const std::uint64_t exception = stream(6, 168);
    dump.exception_thread = u32(exception);
    dump.exception_code = u32(exception + 8);
    dump.exception_address = get(exception + 24, 8);
    for (std::uint32_t i = 0; i < std::min(u32(exception + 32), 15u); ++i)
      dump.exception_parameters.push_back(get(exception + 40 + 8 * i, 8));
    if (const std::size_t size = located(exception + 160).size(); size != 0) {
      check(size == 1232, "x86-64 context of the wrong size");
      const std::uint64_t at = u32(exception + 164);
      dump.context_flags = u32(at + 0x30);
      dump.context_rsp = get(at + 0x98, 8);
      dump.context_rip = get(at + 0xF8, 8);
    }
    std::uint32_t count = 0;
    for (std::uint64_t i = 0, at = list(3, 48, count); i < count; ++i, at += 48) {
      dump.thread_ids.push_back(u32(at));
      static_cast<void>(located(at + 40));  // the context
      if (i == 0) {
        dump.stack_start = get(at + 24, 8);
        dump.stack = located(at + 32);
      }
    }
    const std::uint64_t misc = stream(15, 24);
    check(u32(misc) == 24 && (u32(misc + 4) & 1) != 0, "misc info without process id");
    dump.process_id = u32(misc + 8);
    for (std::uint64_t i = 0, at = list(4, 108, count); i < count; ++i, at += 108) {
      DumpModule module{get(at, 8), get(at, 8) + u32(at + 8), "", located(at + 76)};
      const std::uint64_t name = u32(at + 20);
      check(u32(name) % 2 == 0 && get(name + 4 + u32(name), 2) == 0, "unterminated name");
      for (std::uint64_t unit = 0; unit < u32(name); unit += 2)
        module.name.push_back(static_cast<char>(get(name + 4 + unit, 2)));
      check(module.build_id.empty() || module.build_id.starts_with("LEpB"), "no ELF CodeView");
      module.build_id.erase(0, std::min<std::size_t>(4, module.build_id.size()));
      dump.modules.push_back(std::move(module));
    }
  } catch (const std::out_of_range& reason) {
    dump.error = reason.what();
  }
  return dump;
}

}  // namespace orv::test
