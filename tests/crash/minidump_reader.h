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

struct DumpModule {
  std::uint64_t base = 0;
  std::uint32_t size = 0;
  std::string name;
  std::vector<std::uint8_t> build_id;  // from a "BpEL" CodeView record; empty without one
};

struct ParsedDump {
  std::uint32_t stream_count = 0;
  std::uint64_t flags = 0;
  std::uint16_t architecture = 0;
  std::uint32_t platform = 0;
  std::string system_description;
  std::uint32_t exception_thread = 0;
  std::uint32_t exception_code = 0;
  std::uint64_t exception_address = 0;
  std::vector<std::uint64_t> exception_parameters;
  std::uint32_t thread_count = 0;
  std::uint32_t thread_id = 0;  // of the first thread
  std::uint64_t stack_start = 0;
  DumpLocation stack;
  std::vector<std::uint64_t> memory_starts;
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
  std::string Parse(ParsedDump& dump) try {
    if (Get<std::uint32_t>(0) != 0x504D444D || (Get<std::uint32_t>(4) & 0xFFFF) != 0xA793) {
      throw std::string("no MDMP header");
    }
    dump.stream_count = Get<std::uint32_t>(8);
    dump.flags = Get<std::uint64_t>(24);
    for (std::uint32_t i = 0; i < dump.stream_count; ++i) {
      const std::uint64_t at = Get<std::uint32_t>(12) + 12ull * i;
      if (!streams_.emplace(Get<std::uint32_t>(at), Location(at + 4)).second) {
        throw std::string("duplicate stream");
      }
    }
    const std::uint32_t system = Stream(7, 56);
    dump.architecture = Get<std::uint16_t>(system);
    dump.platform = Get<std::uint32_t>(system + 20);
    dump.system_description = String(Get<std::uint32_t>(system + 24));

    const std::uint32_t exception = Stream(6, 168);
    dump.exception_thread = Get<std::uint32_t>(exception);
    dump.exception_code = Get<std::uint32_t>(exception + 8);
    dump.exception_address = Get<std::uint64_t>(exception + 24);
    for (std::uint32_t i = 0; i < Get<std::uint32_t>(exception + 32); ++i) {
      if (i == 15) {
        throw std::string("too many exception parameters");
      }
      dump.exception_parameters.push_back(Get<std::uint64_t>(exception + 40 + 8ull * i));
    }
    const DumpLocation context = Location(exception + 160);
    if (context.size != 0 && context.size != 1232) {
      throw std::string("x86-64 context of the wrong size");
    }
    if (context.size != 0) {
      dump.context_flags = Get<std::uint32_t>(context.rva + 0x30);
      dump.context_rsp = Get<std::uint64_t>(context.rva + 0x98);
      dump.context_rip = Get<std::uint64_t>(context.rva + 0xF8);
    }

    const std::uint64_t threads = List(3, 48, dump.thread_count);
    for (std::uint32_t i = 0; i < dump.thread_count; ++i) {
      static_cast<void>(Location(threads + 48ull * i + 32));  // the stack
      static_cast<void>(Location(threads + 48ull * i + 40));  // the context
    }
    if (dump.thread_count > 0) {
      dump.thread_id = Get<std::uint32_t>(threads);
      dump.stack = Location(threads + 32);
      dump.stack_start = Get<std::uint64_t>(threads + 24);
    }
    std::uint32_t count = 0;
    const std::uint64_t memory = List(5, 16, count);
    for (std::uint32_t i = 0; i < count; ++i) {
      static_cast<void>(Location(memory + 16ull * i + 8));
      dump.memory_starts.push_back(Get<std::uint64_t>(memory + 16ull * i));
    }
    const std::uint32_t misc = Stream(15, 24);
    if (Get<std::uint32_t>(misc) != 24 || (Get<std::uint32_t>(misc + 4) & 1) == 0) {
      throw std::string("misc info without process id");
    }
    dump.process_id = Get<std::uint32_t>(misc + 8);

    const std::uint64_t modules = List(4, 108, count);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint64_t at = modules + 108ull * i;
      DumpModule module{Get<std::uint64_t>(at),
                        Get<std::uint32_t>(at + 8),
                        String(Get<std::uint32_t>(at + 20)),
                        {}};
      const DumpLocation code_view = Location(at + 76);
      if (code_view.size > 0 &&
          (code_view.size < 5 || Get<std::uint32_t>(code_view.rva) != 0x4270454C)) {
        throw std::string("CodeView record without the ELF signature");
      }
      if (code_view.size > 0) {
        module.build_id.assign(bytes_.begin() + code_view.rva + 4,
                               bytes_.begin() + code_view.rva + code_view.size);
      }
      dump.modules.push_back(std::move(module));
    }
    return {};
  } catch (const std::string& reason) {
    return reason;
  }

 private:
  void Need(std::uint64_t at, std::uint64_t size) const {
    if (at > bytes_.size() || size > bytes_.size() - at) {
      throw "out of bounds at " + std::to_string(at);
    }
  }
  template <typename T>
  T Get(std::uint64_t at) const {
    Need(at, sizeof(T));
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      value |= static_cast<T>(static_cast<T>(bytes_[at + i]) << (8 * i));
    }
    return value;
  }
  // A size and offset pair whose bytes lie in the file.
  DumpLocation Location(std::uint64_t at) const {
    const DumpLocation location{Get<std::uint32_t>(at), Get<std::uint32_t>(at + 4)};
    Need(location.rva, location.size);
    return location;
  }
  std::uint32_t Stream(std::uint32_t type, std::uint32_t min_size) const {
    const auto found = streams_.find(type);
    if (found == streams_.end() || found->second.size < min_size) {
      throw "stream " + std::to_string(type) + " missing or too small";
    }
    return found->second.rva;
  }
  // A stream of a count and entries of entry_size bytes; the offset of the first entry.
  std::uint64_t List(std::uint32_t type, std::uint32_t entry_size, std::uint32_t& count) const {
    const std::uint32_t rva = Stream(type, 4);
    count = Get<std::uint32_t>(rva);
    if (streams_.at(type).size != 4 + std::uint64_t{entry_size} * count) {
      throw "list " + std::to_string(type) + " size";
    }
    return rva + 4ull;
  }
  std::string String(std::uint32_t rva) const {
    const auto length = Get<std::uint32_t>(rva);
    Need(rva + 4ull, length + 2ull);
    if (length % 2 != 0 || Get<std::uint16_t>(rva + 4ull + length) != 0) {
      throw std::string("odd or unterminated string");
    }
    std::u16string units;
    for (std::uint32_t i = 0; i < length; i += 2) {
      units.push_back(static_cast<char16_t>(Get<std::uint16_t>(rva + 4ull + i)));
    }
    return OBRuntime::WideToUtf8(OBRuntime::Utf16ToWide(units));
  }

  std::vector<std::uint8_t> bytes_;
  std::map<std::uint32_t, DumpLocation> streams_;
};

}  // namespace orv::test
