// A strict reader of the minidumps the crash handler writes, independent of the writer's code:
// every offset and size is checked against the file before use, so a malformed dump fails the
// parse with a reason instead of reading past the bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "runtime/text.h"

namespace orv::test {

struct DumpLocation {
  std::uint32_t size = 0;
  std::uint32_t rva = 0;
};

struct DumpThread {
  std::uint32_t id = 0;
  std::uint64_t stack_start = 0;
  DumpLocation stack;
  DumpLocation context;
};

struct DumpModule {
  std::uint64_t base = 0;
  std::uint32_t size = 0;
  std::string name;
  std::vector<std::uint8_t> build_id;  // from a "BpEL" CodeView record; empty without one
};

struct ParsedDump {
  std::uint32_t stream_count = 0;
  std::uint64_t flags = 0;
  std::map<std::uint32_t, DumpLocation> streams;
  std::uint16_t architecture = 0;
  std::uint32_t platform = 0;
  std::string system_description;
  std::uint32_t exception_thread = 0;
  std::uint32_t exception_code = 0;
  std::uint64_t exception_address = 0;
  std::vector<std::uint64_t> exception_parameters;
  DumpLocation exception_context;
  std::vector<DumpThread> threads;
  std::vector<std::pair<std::uint64_t, DumpLocation>> memory;
  std::uint32_t process_id = 0;
  std::vector<DumpModule> modules;
  std::uint32_t context_flags = 0;
  std::uint64_t context_rsp = 0;
  std::uint64_t context_rip = 0;
};

class MiniDumpReader {
 public:
  explicit MiniDumpReader(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

  static std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  }

  // Parses the whole dump; returns "" on success, else what was wrong.
  std::string Parse(ParsedDump& dump) {
    try {
      ParseHeader(dump);
      ParseSystemInfo(dump);
      ParseException(dump);
      ParseThreads(dump);
      ParseMemory(dump);
      ParseMisc(dump);
      ParseModules(dump);
      ParseContext(dump);
    } catch (const std::string& reason) {
      return reason;
    }
    return {};
  }

  // The bytes a location names.
  std::vector<std::uint8_t> Bytes(const DumpLocation& location) const {
    Need(location.rva, location.size, "location");
    return {bytes_.begin() + location.rva, bytes_.begin() + location.rva + location.size};
  }

 private:
  static constexpr std::uint32_t kThreadList = 3;
  static constexpr std::uint32_t kModuleList = 4;
  static constexpr std::uint32_t kMemoryList = 5;
  static constexpr std::uint32_t kException = 6;
  static constexpr std::uint32_t kSystemInfo = 7;
  static constexpr std::uint32_t kMiscInfo = 15;

  void Need(std::uint64_t at, std::uint64_t size, const char* what) const {
    if (at > bytes_.size() || size > bytes_.size() - at) {
      throw std::string(what) + " out of bounds at " + std::to_string(at);
    }
  }
  template <typename T>
  T Get(std::uint64_t at) const {
    Need(at, sizeof(T), "field");
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      value |= static_cast<T>(static_cast<T>(bytes_[at + i]) << (8 * i));
    }
    return value;
  }
  DumpLocation GetLocation(std::uint64_t at) const {
    return {Get<std::uint32_t>(at), Get<std::uint32_t>(at + 4)};
  }

  DumpLocation Stream(const ParsedDump& dump, std::uint32_t type, std::uint32_t min_size) const {
    const auto found = dump.streams.find(type);
    if (found == dump.streams.end()) {
      throw "stream " + std::to_string(type) + " missing";
    }
    if (found->second.size < min_size) {
      throw "stream " + std::to_string(type) + " too small";
    }
    return found->second;
  }

  std::string String(std::uint32_t rva) const {
    const auto length = Get<std::uint32_t>(rva);
    if (length % 2 != 0) {
      throw std::string("odd string length");
    }
    Need(rva + 4, length + 2ull, "string");
    if (Get<std::uint16_t>(rva + 4 + length) != 0) {
      throw std::string("string not terminated");
    }
    std::u16string units;
    for (std::uint32_t i = 0; i < length; i += 2) {
      units.push_back(static_cast<char16_t>(Get<std::uint16_t>(rva + 4 + i)));
    }
    return OBRuntime::WideToUtf8(OBRuntime::Utf16ToWide(units));
  }

  void ParseHeader(ParsedDump& dump) {
    if (Get<std::uint32_t>(0) != 0x504D444D) {
      throw std::string("no MDMP signature");
    }
    if ((Get<std::uint32_t>(4) & 0xFFFF) != 0xA793) {
      throw std::string("wrong version");
    }
    dump.stream_count = Get<std::uint32_t>(8);
    const auto directory = Get<std::uint32_t>(12);
    dump.flags = Get<std::uint64_t>(24);
    Need(directory, dump.stream_count * 12ull, "directory");
    for (std::uint32_t i = 0; i < dump.stream_count; ++i) {
      const DumpLocation location = GetLocation(directory + 12ull * i + 4);
      Need(location.rva, location.size, "stream");
      if (!dump.streams.emplace(Get<std::uint32_t>(directory + 12ull * i), location).second) {
        throw std::string("duplicate stream");
      }
    }
  }

  void ParseSystemInfo(ParsedDump& dump) {
    const DumpLocation info = Stream(dump, kSystemInfo, 56);
    dump.architecture = Get<std::uint16_t>(info.rva);
    dump.platform = Get<std::uint32_t>(info.rva + 20);
    dump.system_description = String(Get<std::uint32_t>(info.rva + 24));
  }

  void ParseException(ParsedDump& dump) {
    const DumpLocation stream = Stream(dump, kException, 168);
    dump.exception_thread = Get<std::uint32_t>(stream.rva);
    dump.exception_code = Get<std::uint32_t>(stream.rva + 8);
    dump.exception_address = Get<std::uint64_t>(stream.rva + 24);
    const auto count = Get<std::uint32_t>(stream.rva + 32);
    if (count > 15) {
      throw std::string("too many exception parameters");
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      dump.exception_parameters.push_back(Get<std::uint64_t>(stream.rva + 40 + 8ull * i));
    }
    dump.exception_context = GetLocation(stream.rva + 160);
    Need(dump.exception_context.rva, dump.exception_context.size, "exception context");
  }

  void ParseThreads(ParsedDump& dump) {
    const DumpLocation stream = Stream(dump, kThreadList, 4);
    const auto count = Get<std::uint32_t>(stream.rva);
    if (stream.size != 4 + 48ull * count) {
      throw std::string("thread list size");
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint64_t at = stream.rva + 4 + 48ull * i;
      DumpThread thread{Get<std::uint32_t>(at), Get<std::uint64_t>(at + 24), GetLocation(at + 32),
                        GetLocation(at + 40)};
      Need(thread.stack.rva, thread.stack.size, "stack");
      Need(thread.context.rva, thread.context.size, "thread context");
      dump.threads.push_back(thread);
    }
  }

  void ParseMemory(ParsedDump& dump) {
    const DumpLocation stream = Stream(dump, kMemoryList, 4);
    const auto count = Get<std::uint32_t>(stream.rva);
    if (stream.size != 4 + 16ull * count) {
      throw std::string("memory list size");
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint64_t at = stream.rva + 4 + 16ull * i;
      const DumpLocation location = GetLocation(at + 8);
      Need(location.rva, location.size, "memory range");
      dump.memory.emplace_back(Get<std::uint64_t>(at), location);
    }
  }

  void ParseMisc(ParsedDump& dump) {
    const DumpLocation stream = Stream(dump, kMiscInfo, 24);
    if (Get<std::uint32_t>(stream.rva) != 24 || (Get<std::uint32_t>(stream.rva + 4) & 1) == 0) {
      throw std::string("misc info without process id");
    }
    dump.process_id = Get<std::uint32_t>(stream.rva + 8);
  }

  void ParseModules(ParsedDump& dump) {
    const DumpLocation stream = Stream(dump, kModuleList, 4);
    const auto count = Get<std::uint32_t>(stream.rva);
    if (stream.size != 4 + 108ull * count) {
      throw std::string("module list size");
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint64_t at = stream.rva + 4 + 108ull * i;
      DumpModule module{Get<std::uint64_t>(at),
                        Get<std::uint32_t>(at + 8),
                        String(Get<std::uint32_t>(at + 20)),
                        {}};
      const DumpLocation code_view = GetLocation(at + 76);
      if (code_view.size > 0) {
        Need(code_view.rva, code_view.size, "CodeView record");
        if (code_view.size < 5 || Get<std::uint32_t>(code_view.rva) != 0x4270454C) {
          throw std::string("CodeView record without the ELF signature");
        }
        module.build_id = Bytes({code_view.size - 4, code_view.rva + 4});
      }
      dump.modules.push_back(std::move(module));
    }
  }

  void ParseContext(ParsedDump& dump) {
    const DumpLocation context = dump.exception_context;
    if (context.size == 0) {
      return;
    }
    if (context.size != 1232) {
      throw std::string("x86-64 context of the wrong size");
    }
    dump.context_flags = Get<std::uint32_t>(context.rva + 0x30);
    dump.context_rsp = Get<std::uint64_t>(context.rva + 0x98);
    dump.context_rip = Get<std::uint64_t>(context.rva + 0xF8);
  }

  std::vector<std::uint8_t> bytes_;
};

}  // namespace orv::test
