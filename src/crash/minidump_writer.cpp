#include "crash/minidump_writer.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <unistd.h>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <thread>

#include "crash/signal_safe_text.h"
#include "runtime/byte_order.h"

namespace orv::crash {
namespace {

using OBRuntime::StoreLe;

constexpr std::uint32_t kHeaderSize = 32;
constexpr std::uint32_t kDirectoryEntrySize = 12;
constexpr std::uint32_t kStreamCount = 6;
constexpr std::uint32_t kSystemInfoSize = 56;
constexpr std::uint32_t kExceptionStreamSize = 168;
constexpr std::uint32_t kThreadListSize = 4 + 48;
constexpr std::uint32_t kMemoryDescriptorSize = 16;
constexpr std::uint32_t kMiscInfoSize = 24;
constexpr std::uint32_t kModuleSize = 108;
constexpr std::uint32_t kMiscProcessIdValid = 1;

// A fixed-size record laid out byte by byte in little-endian order.
template <std::size_t N>
struct Record {
  std::array<std::uint8_t, N> bytes{};

  void U8(std::size_t at, std::uint8_t value) noexcept { bytes[at] = value; }
  void U16(std::size_t at, std::uint64_t value) noexcept {
    StoreLe<std::uint16_t>(bytes.data() + at, static_cast<std::uint16_t>(value));
  }
  void U32(std::size_t at, std::uint64_t value) noexcept {
    StoreLe<std::uint32_t>(bytes.data() + at, static_cast<std::uint32_t>(value));
  }
  void U64(std::size_t at, std::uint64_t value) noexcept {
    StoreLe<std::uint64_t>(bytes.data() + at, value);
  }
};

struct Location {
  std::uint32_t size = 0;
  std::uint32_t rva = 0;
};

// The output file: space is reserved front to back, pieces are written at their offsets.
class DumpFile {
 public:
  explicit DumpFile(int fd) noexcept : fd_(fd) {}

  // Reserves size bytes at the next 8-byte boundary; past 4 GiB the dump is unusable anyway.
  Location Reserve(std::size_t size) noexcept {
    cursor_ = (cursor_ + 7) & ~std::uint64_t{7};
    const Location location{static_cast<std::uint32_t>(size), static_cast<std::uint32_t>(cursor_)};
    cursor_ += size;
    if (cursor_ > UINT32_MAX && error_ == 0) {
      error_ = EFBIG;
    }
    return location;
  }

  void Put(std::uint32_t rva, const void* data, std::size_t size) noexcept {
    if (Copy(rva, data, size) != 0 && error_ == 0) {
      error_ = errno;
    }
  }

  // Copies process memory that may be unmapped: an EFAULT leaves the rest as zeros.
  void PutMemory(std::uint32_t rva, std::uint64_t address, std::size_t size) noexcept {
    if (Copy(rva, reinterpret_cast<const void*>(address), size) != 0 && errno != EFAULT &&
        error_ == 0) {
      error_ = errno;
    }
  }

  // Extends the file to everything reserved, so unwritten gaps read as zeros.
  void Finish() noexcept {
    if (::ftruncate(fd_, static_cast<off_t>(cursor_)) != 0 && error_ == 0) {
      error_ = errno;
    }
  }

  [[nodiscard]] int error() const noexcept { return error_; }

 private:
  // The raw system call: a sanitizer's write wrapper would check the source bytes, and stack
  // memory below the stack pointer is poisoned for it.
  int Copy(std::uint64_t offset, const void* data, std::size_t size) noexcept {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
      const long written = ::syscall(SYS_pwrite64, fd_, bytes, size, static_cast<off_t>(offset));
      if (written < 0 && errno == EINTR) {
        continue;
      }
      if (written <= 0) {
        if (written == 0) {
          errno = EIO;
        }
        return -1;
      }
      bytes += written;
      offset += static_cast<std::uint64_t>(written);
      size -= static_cast<std::size_t>(written);
    }
    return 0;
  }

  int fd_;
  std::uint64_t cursor_ = kHeaderSize + kStreamCount * kDirectoryEntrySize;
  int error_ = 0;
};

// A MINIDUMP_STRING: byte length, UTF-16LE text, a terminating zero unit.
Location PutString(DumpFile& file, const char* text, std::size_t length,
                   MiniDumpScratch& scratch) noexcept {
  const std::size_t units =
      internal::Utf8ToUtf16(text, length, scratch.utf16.data(), scratch.utf16.size() - 1);
  scratch.utf16[units] = 0;
  const Location location = file.Reserve(4 + 2 * (units + 1));
  Record<4> size;
  size.U32(0, 2 * units);
  file.Put(location.rva, size.bytes.data(), size.bytes.size());
  for (std::size_t i = 0; i <= units; ++i) {  // little-endian units, also on big-endian hosts
    Record<2> unit;
    unit.U16(0, scratch.utf16[i]);
    std::memcpy(&scratch.utf16[i], unit.bytes.data(), 2);
  }
  file.Put(location.rva + 4, scratch.utf16.data(), 2 * (units + 1));
  return location;
}

struct StackRange {
  std::uint64_t start = 0;
  std::uint64_t size = 0;
};

// Walks /proc/self/maps once: the modules, and the mapping that holds the stack pointer.
class MapsWalker {
 public:
  MapsWalker(MiniDumpScratch& scratch, std::uint64_t stack_pointer) noexcept
      : scratch_(scratch), stack_pointer_(stack_pointer) {}

  void Run() noexcept {
    const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      return;
    }
    std::size_t line_length = 0;
    bool overlong = false;
    for (;;) {
      const ssize_t got = ::read(fd, scratch_.read_buffer.data(), scratch_.read_buffer.size());
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        break;
      }
      for (ssize_t i = 0; i < got; ++i) {
        const char c = scratch_.read_buffer[static_cast<std::size_t>(i)];
        if (c == '\n') {
          if (!overlong) {
            Line(line_length);
          }
          line_length = 0;
          overlong = false;
        } else if (line_length < scratch_.line.size()) {
          scratch_.line[line_length++] = c;
        } else {
          overlong = true;
        }
      }
    }
    ::close(fd);
    Commit();
  }

  [[nodiscard]] std::size_t module_count() const noexcept { return count_; }
  [[nodiscard]] StackRange stack() const noexcept { return stack_; }

 private:
  void Line(std::size_t length) noexcept {
    internal::MapsEntry entry;
    if (!internal::ParseMapsLine(scratch_.line.data(), length, entry)) {
      return;
    }
    if (stack_pointer_ >= entry.start && stack_pointer_ < entry.end) {
      const std::uint64_t low = stack_pointer_ - std::min(kRedZoneBytes, stack_pointer_);
      stack_.start = std::max(entry.start, low);
      stack_.size = std::min<std::uint64_t>(entry.end - stack_.start, kMaxStackBytes);
    }
    if (entry.path_length == 0 || entry.path[0] != '/') {
      return;
    }
    if (open_ && SamePath(entry)) {
      scratch_.modules[count_].end = entry.end;
      executable_ = executable_ || entry.executable;
      return;
    }
    Commit();
    Open(entry);
  }

  bool SamePath(const internal::MapsEntry& entry) const noexcept {
    const MiniDumpScratch::Module& module = scratch_.modules[count_];
    return module.name_length == entry.path_length &&
           std::memcmp(scratch_.names.data() + module.name_offset, entry.path, entry.path_length) ==
               0;
  }

  // Starts a candidate module in the next free slot; it counts once an executable segment is seen.
  void Open(const internal::MapsEntry& entry) noexcept {
    if (count_ >= scratch_.modules.size() ||
        entry.path_length > scratch_.names.size() - names_used_) {
      return;
    }
    std::memcpy(scratch_.names.data() + names_used_, entry.path, entry.path_length);
    scratch_.modules[count_] = {entry.start, entry.end, static_cast<std::uint32_t>(names_used_),
                                static_cast<std::uint32_t>(entry.path_length), entry.offset == 0};
    open_ = true;
    executable_ = entry.executable;
  }

  void Commit() noexcept {
    if (open_ && executable_) {
      names_used_ += scratch_.modules[count_].name_length;
      ++count_;
    }
    open_ = false;
    executable_ = false;
  }

  MiniDumpScratch& scratch_;
  std::uint64_t stack_pointer_;
  std::size_t count_ = 0;
  std::size_t names_used_ = 0;
  bool open_ = false;
  bool executable_ = false;
  StackRange stack_;
};

struct Registers {
  std::uint64_t instruction_pointer = 0;
  std::uint64_t stack_pointer = 0;
  std::uint64_t access_type = 0;  // 0 read, 1 write, 8 execute (for access violations)
};

Registers ReadRegisters(const ucontext_t* context) noexcept {
  Registers registers;
#if defined(__x86_64__)
  if (context != nullptr) {
    const greg_t* g = context->uc_mcontext.gregs;
    registers.instruction_pointer = static_cast<std::uint64_t>(g[REG_RIP]);
    registers.stack_pointer = static_cast<std::uint64_t>(g[REG_RSP]);
    // Page-fault error code: bit 1 a write, bit 4 an instruction fetch.
    const auto error = static_cast<std::uint64_t>(g[REG_ERR]);
    registers.access_type = (error & 0x10) != 0 ? 8 : ((error & 0x2) != 0 ? 1 : 0);
  }
#else
  (void)context;
#endif
  return registers;
}

#if defined(__x86_64__)
// The Windows x86-64 CONTEXT record: control, integer, segment and floating-point parts.
Location PutAmd64Context(DumpFile& file, const ucontext_t& context) noexcept {
  constexpr std::uint32_t kContextAmd64Full = 0x0010000F;
  Record<kAmd64ContextSize> record;
  const greg_t* g = context.uc_mcontext.gregs;
  const auto segments = static_cast<std::uint64_t>(g[REG_CSGSFS]);
  record.U32(0x30, kContextAmd64Full);
  record.U16(0x38, segments & 0xFFFF);          // cs
  record.U16(0x3E, (segments >> 32) & 0xFFFF);  // fs
  record.U16(0x40, (segments >> 16) & 0xFFFF);  // gs
  record.U16(0x42, (segments >> 48) & 0xFFFF);  // ss, where the kernel saved it
  record.U32(0x44, static_cast<std::uint64_t>(g[REG_EFL]));
  constexpr std::array<int, 17> kOrder = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP,
                                          REG_RSI, REG_RDI, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                          REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP};
  for (std::size_t i = 0; i < kOrder.size(); ++i) {
    record.U64(0x78 + 8 * i, static_cast<std::uint64_t>(g[kOrder[i]]));
  }
  if (context.uc_mcontext.fpregs != nullptr) {
    // The FXSAVE image is the CONTEXT's FltSave area as it stands.
    std::memcpy(record.bytes.data() + 0x100, context.uc_mcontext.fpregs, 512);
    record.U32(0x34, context.uc_mcontext.fpregs->mxcsr);
  }
  const Location location = file.Reserve(record.bytes.size());
  file.Put(location.rva, record.bytes.data(), record.bytes.size());
  return location;
}
#endif

Location PutThreadContext(DumpFile& file, const ucontext_t* context) noexcept {
#if defined(__x86_64__)
  if (context != nullptr) {
    return PutAmd64Context(file, *context);
  }
#else
  (void)file;
  (void)context;
#endif
  return {};
}

Location PutSystemInfo(DumpFile& file, const SystemSnapshot& system,
                       MiniDumpScratch& scratch) noexcept {
  const Location location = file.Reserve(kSystemInfoSize);
  const Location description =
      PutString(file, system.description.data(), std::strlen(system.description.data()), scratch);
  Record<kSystemInfoSize> record;
  record.U16(0, system.processor_architecture);
  record.U16(2, system.processor_level);
  record.U16(4, system.processor_revision);
  record.U8(6, system.processor_count);
  record.U32(8, system.major_version);
  record.U32(12, system.minor_version);
  record.U32(16, system.build_number);
  record.U32(20, kPlatformLinux);
  record.U32(24, description.rva);
  for (std::size_t i = 0; i < system.vendor_id.size(); ++i) {
    record.U32(32 + 4 * i, system.vendor_id[i]);
  }
  record.U32(44, system.version_information);
  record.U32(48, system.feature_information);
  record.U32(52, system.amd_extended_features);
  file.Put(location.rva, record.bytes.data(), record.bytes.size());
  return location;
}

Location PutException(DumpFile& file, const CrashContext& crash, const Registers& registers,
                      Location context) noexcept {
  Record<kExceptionStreamSize> record;
  record.U32(0, static_cast<std::uint32_t>(crash.thread_id));
  record.U32(8, crash.exception_code);
  record.U64(24, registers.instruction_pointer);
  const std::uint64_t fault_address =
      crash.info != nullptr ? reinterpret_cast<std::uint64_t>(crash.info->si_addr) : 0;
  const std::array<std::uint64_t, 4> parameters = {
      registers.access_type, fault_address, static_cast<std::uint64_t>(crash.signal),
      crash.info != nullptr ? static_cast<std::uint64_t>(crash.info->si_code) : 0};
  record.U32(32, parameters.size());
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    record.U64(40 + 8 * i, parameters[i]);
  }
  record.U32(160, context.size);
  record.U32(164, context.rva);
  const Location location = file.Reserve(record.bytes.size());
  file.Put(location.rva, record.bytes.data(), record.bytes.size());
  return location;
}

Location PutThreadList(DumpFile& file, const CrashContext& crash, const StackRange& stack,
                       Location stack_bytes, Location context) noexcept {
  Record<kThreadListSize> record;
  record.U32(0, 1);
  record.U32(4, static_cast<std::uint32_t>(crash.thread_id));
  record.U64(28, stack.start);
  record.U32(36, stack_bytes.size);
  record.U32(40, stack_bytes.rva);
  record.U32(44, context.size);
  record.U32(48, context.rva);
  const Location location = file.Reserve(record.bytes.size());
  file.Put(location.rva, record.bytes.data(), record.bytes.size());
  return location;
}

Location PutMemoryList(DumpFile& file, const StackRange& stack, Location stack_bytes) noexcept {
  Record<4 + kMemoryDescriptorSize> record;
  const std::uint32_t count = stack_bytes.size > 0 ? 1 : 0;
  record.U32(0, count);
  record.U64(4, stack.start);
  record.U32(12, stack_bytes.size);
  record.U32(16, stack_bytes.rva);
  const Location location = file.Reserve(4 + count * kMemoryDescriptorSize);
  file.Put(location.rva, record.bytes.data(), location.size);
  return location;
}

Location PutMiscInfo(DumpFile& file, const CrashContext& crash) noexcept {
  Record<kMiscInfoSize> record;
  record.U32(0, kMiscInfoSize);
  record.U32(4, kMiscProcessIdValid);
  record.U32(8, static_cast<std::uint32_t>(crash.process_id));
  const Location location = file.Reserve(record.bytes.size());
  file.Put(location.rva, record.bytes.data(), record.bytes.size());
  return location;
}

// The module's CodeView record: the ELF signature and the build id, or nothing without one.
Location PutCodeViewRecord(DumpFile& file, const MiniDumpScratch::Module& module,
                           MiniDumpScratch& scratch) noexcept {
  std::array<std::uint8_t, kMaxBuildIdBytes> id{};
  const std::size_t length =
      module.starts_at_file_start ? internal::ReadBuildId(module.base, scratch.elf_buffer, id) : 0;
  if (length == 0) {
    return {};
  }
  const Location location = file.Reserve(4 + length);
  Record<4> signature;
  signature.U32(0, kCvSignatureElf);
  file.Put(location.rva, signature.bytes.data(), signature.bytes.size());
  file.Put(location.rva + 4, id.data(), length);
  return location;
}

Location PutModuleList(DumpFile& file, std::size_t count, MiniDumpScratch& scratch) noexcept {
  const Location location = file.Reserve(4 + count * kModuleSize);
  Record<4> header;
  header.U32(0, count);
  file.Put(location.rva, header.bytes.data(), header.bytes.size());
  for (std::size_t i = 0; i < count; ++i) {
    const MiniDumpScratch::Module& module = scratch.modules[i];
    const Location name =
        PutString(file, scratch.names.data() + module.name_offset, module.name_length, scratch);
    Record<kModuleSize> record;
    record.U64(0, module.base);
    record.U32(8, std::min<std::uint64_t>(module.end - module.base, UINT32_MAX));
    record.U32(20, name.rva);
    const Location code_view = PutCodeViewRecord(file, module, scratch);
    record.U32(76, code_view.size);
    record.U32(80, code_view.rva);
    file.Put(location.rva + 4 + static_cast<std::uint32_t>(i * kModuleSize), record.bytes.data(),
             record.bytes.size());
  }
  return location;
}

void PutHeader(
    DumpFile& file, const CrashContext& crash,
    const std::array<std::pair<std::uint32_t, Location>, kStreamCount>& streams) noexcept {
  Record<kHeaderSize + kStreamCount * kDirectoryEntrySize> record;
  record.U32(0, kMiniDumpSignature);
  record.U32(4, kMiniDumpVersion);
  record.U32(8, kStreamCount);
  record.U32(12, kHeaderSize);
  record.U32(20, static_cast<std::uint64_t>(crash.time));
  record.U64(24, crash.dump_type);
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const std::size_t at = kHeaderSize + i * kDirectoryEntrySize;
    record.U32(at, streams[i].first);
    record.U32(at + 4, streams[i].second.size);
    record.U32(at + 8, streams[i].second.rva);
  }
  file.Put(0, record.bytes.data(), record.bytes.size());
}

// Parses a hexadecimal or decimal field ending at a separator; advances p past it.
bool ParseNumber(const char*& p, const char* end, int base, std::uint64_t& value) noexcept {
  const auto [next, error] = std::from_chars(p, end, value, base);
  if (error != std::errc() || next == p) {
    return false;
  }
  p = next;
  return true;
}

bool Expect(const char*& p, const char* end, char c) noexcept {
  if (p == end || *p != c) {
    return false;
  }
  ++p;
  return true;
}

constexpr std::uint16_t kMaxProgramHeaders = 256;

// Reads the process's own memory through the kernel: an unmapped address fails the call instead
// of faulting.
bool ReadOwnMemory(std::uint64_t address, void* out, std::size_t size) noexcept {
  iovec local{out, size};
  iovec remote{reinterpret_cast<void*>(address), size};
  return ::syscall(SYS_process_vm_readv, ::getpid(), &local, 1, &remote, 1, 0) ==
         static_cast<long>(size);
}

// The descriptor of the "GNU" build-id note among notes; its length, 0 when absent or too long.
std::size_t FindBuildIdNote(std::span<const std::uint8_t> notes,
                            std::array<std::uint8_t, kMaxBuildIdBytes>& id) noexcept {
  constexpr std::uint64_t kNoteHeader = 12;
  std::uint64_t at = 0;
  while (at + kNoteHeader <= notes.size()) {
    std::array<std::uint32_t, 3> fields{};  // name size, descriptor size, type
    std::memcpy(fields.data(), notes.data() + at, sizeof(fields));
    const std::uint64_t name_at = at + kNoteHeader;
    const std::uint64_t descriptor_at =
        name_at + ((std::uint64_t{fields[0]} + 3) & ~std::uint64_t{3});
    const std::uint64_t next = descriptor_at + ((std::uint64_t{fields[1]} + 3) & ~std::uint64_t{3});
    if (descriptor_at + fields[1] > notes.size()) {
      return 0;
    }
    if (fields[2] == NT_GNU_BUILD_ID && fields[0] == 4 &&
        std::memcmp(notes.data() + name_at, "GNU", 4) == 0) {
      if (fields[1] == 0 || fields[1] > id.size()) {
        return 0;
      }
      std::memcpy(id.data(), notes.data() + descriptor_at, fields[1]);
      return fields[1];
    }
    at = next;
  }
  return 0;
}

void ParseKernelRelease(const char* release, SystemSnapshot& system) {
  std::array<std::uint32_t*, 3> parts = {&system.major_version, &system.minor_version,
                                         &system.build_number};
  const char* p = release;
  const char* end = release + std::strlen(release);
  for (std::uint32_t* part : parts) {
    const auto [next, error] = std::from_chars(p, end, *part);
    if (error != std::errc() || next == end || *next != '.') {
      return;
    }
    p = next + 1;
  }
}

}  // namespace

namespace internal {

bool ParseMapsLine(const char* line, std::size_t length, MapsEntry& entry) noexcept {
  const char* p = line;
  const char* end = line + length;
  std::uint64_t offset = 0;
  std::uint64_t major = 0;
  std::uint64_t minor = 0;
  std::uint64_t inode = 0;
  if (!ParseNumber(p, end, 16, entry.start) || !Expect(p, end, '-') ||
      !ParseNumber(p, end, 16, entry.end) || !Expect(p, end, ' ') || end - p < 5 || p[4] != ' ' ||
      entry.start >= entry.end) {
    return false;
  }
  entry.executable = p[2] == 'x';
  p += 5;
  if (!ParseNumber(p, end, 16, offset) || !Expect(p, end, ' ') || !ParseNumber(p, end, 16, major) ||
      !Expect(p, end, ':') || !ParseNumber(p, end, 16, minor) || !Expect(p, end, ' ') ||
      !ParseNumber(p, end, 10, inode)) {
    return false;
  }
  while (p != end && *p == ' ') {
    ++p;
  }
  entry.offset = offset;
  entry.path = p;
  entry.path_length = static_cast<std::size_t>(end - p);
  return true;
}

std::size_t ReadBuildId(std::uint64_t base, std::span<std::uint8_t> buffer,
                        std::array<std::uint8_t, kMaxBuildIdBytes>& id) noexcept {
  Elf64_Ehdr header{};
  if (!ReadOwnMemory(base, &header, sizeof(header)) ||
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_phentsize != sizeof(Elf64_Phdr)) {
    return 0;
  }
  const std::uint16_t count = std::min<std::uint16_t>(header.e_phnum, kMaxProgramHeaders);
  // The load bias: where the segment holding file offset 0 landed, against its link address.
  std::uint64_t bias = 0;
  bool have_bias = false;
  for (std::uint16_t i = 0; i < count && !have_bias; ++i) {
    Elf64_Phdr segment{};
    if (!ReadOwnMemory(base + header.e_phoff + i * sizeof(segment), &segment, sizeof(segment))) {
      return 0;
    }
    if (segment.p_type == PT_LOAD && segment.p_offset == 0) {
      bias = base - segment.p_vaddr;
      have_bias = true;
    }
  }
  for (std::uint16_t i = 0; i < count && have_bias; ++i) {
    Elf64_Phdr segment{};
    if (!ReadOwnMemory(base + header.e_phoff + i * sizeof(segment), &segment, sizeof(segment))) {
      return 0;
    }
    const std::size_t size = std::min<std::uint64_t>(segment.p_filesz, buffer.size());
    if (segment.p_type == PT_NOTE && ReadOwnMemory(bias + segment.p_vaddr, buffer.data(), size)) {
      if (const std::size_t length = FindBuildIdNote(buffer.first(size), id); length > 0) {
        return length;
      }
    }
  }
  return 0;
}

std::size_t Utf8ToUtf16(const char* text, std::size_t length, std::uint16_t* out,
                        std::size_t out_capacity) noexcept {
  constexpr char32_t kReplacement = 0xFFFD;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text);
  std::size_t written = 0;
  std::size_t i = 0;
  while (i < length) {
    const std::uint8_t lead = bytes[i];
    std::size_t extra = 0;
    char32_t code = lead;
    char32_t minimum = 0;
    if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, code = lead & 0x07, minimum = 0x10000;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, code = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, code = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0x80) {
      code = kReplacement;
    }
    std::size_t used = 1;
    for (; used <= extra; ++used) {
      if (i + used >= length || (bytes[i + used] & 0xC0) != 0x80) {
        break;
      }
      code = (code << 6) | (bytes[i + used] & 0x3F);
    }
    if (used <= extra || code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      code = kReplacement;
    }
    i += used;
    const std::size_t units = code >= 0x10000 ? 2 : 1;
    if (written + units > out_capacity) {
      break;
    }
    if (units == 2) {
      out[written++] = static_cast<std::uint16_t>(0xD800 + ((code - 0x10000) >> 10));
      out[written++] = static_cast<std::uint16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      out[written++] = static_cast<std::uint16_t>(code);
    }
  }
  return written;
}

}  // namespace internal

std::uint64_t StackPointerOf(const ucontext_t* context) noexcept {
  return ReadRegisters(context).stack_pointer;
}

SystemSnapshot GatherSystemSnapshot() {
  SystemSnapshot system;
  const unsigned processors = std::thread::hardware_concurrency();
  system.processor_count = static_cast<std::uint8_t>(std::min(processors, 255u));
#if defined(__x86_64__)
  system.processor_architecture = kArchitectureAmd64;
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) != 0) {
    system.vendor_id = {ebx, edx, ecx};
  }
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0) {
    system.version_information = eax;
    system.feature_information = edx;
    const unsigned family = (eax >> 8) & 0xF;
    const unsigned model = (eax >> 4) & 0xF;
    system.processor_level =
        static_cast<std::uint16_t>(family == 0xF ? family + ((eax >> 20) & 0xFF) : family);
    const unsigned full_model =
        (family == 0x6 || family == 0xF) ? model + (((eax >> 16) & 0xF) << 4) : model;
    system.processor_revision = static_cast<std::uint16_t>((full_model << 8) | (eax & 0xF));
  }
  constexpr unsigned kAmdVendorEbx = 0x68747541;  // "Auth"
  if (system.vendor_id[0] == kAmdVendorEbx &&
      __get_cpuid(0x80000001, &eax, &ebx, &ecx, &edx) != 0) {
    system.amd_extended_features = ecx;
  }
#endif
  utsname names{};
  if (::uname(&names) == 0) {
    ParseKernelRelease(names.release, system);
    SignalSafeText(system.description)
        .Append(names.release)
        .AppendChar(' ')
        .Append(names.version)
        .AppendChar(' ')
        .Append(names.machine);
  }
  return system;
}

OB_STATUSCODE WriteMiniDump(int fd, const CrashContext& crash, const SystemSnapshot& system,
                            MiniDumpScratch& scratch, int& error) noexcept {
  const Registers registers = ReadRegisters(crash.context);
  MapsWalker maps(scratch, registers.stack_pointer);
  maps.Run();
  const StackRange stack = maps.stack();

  DumpFile file(fd);
  const Location system_info = PutSystemInfo(file, system, scratch);
  const Location context = PutThreadContext(file, crash.context);
  const Location exception = PutException(file, crash, registers, context);
  const Location stack_bytes = file.Reserve(stack.size);
  file.PutMemory(stack_bytes.rva, stack.start, stack.size);
  const Location threads = PutThreadList(file, crash, stack, stack_bytes, context);
  const Location memory = PutMemoryList(file, stack, stack_bytes);
  const Location misc = PutMiscInfo(file, crash);
  const Location modules = PutModuleList(file, maps.module_count(), scratch);
  PutHeader(file, crash,
            {{{kSystemInfoStream, system_info},
              {kExceptionStream, exception},
              {kThreadListStream, threads},
              {kMemoryListStream, memory},
              {kMiscInfoStream, misc},
              {kModuleListStream, modules}}});
  file.Finish();
  error = file.error();
  return error == 0 ? kObSuccess : kObFailure;
}

}  // namespace orv::crash
