#include "stats/bencode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "runtime/fd_io.h"
#include "runtime/logger.h"
#include "runtime/text.h"
#include "runtime/unique_fd.h"

namespace {

// The longest integer text accepted: "-9223372036854775808" is 20 characters.
constexpr std::size_t kMaxIntegerDigits = 20;
constexpr std::int64_t kMaxStringLength = 524288;  // 512 KiB
constexpr mode_t kFileMode = 0644;                 // the feedback module may run as another user

const char* TypeName(BencodeType type) {
  switch (type) {
    case BencodeType::kInteger:
      return "integer";
    case BencodeType::kString:
      return "string";
    case BencodeType::kList:
      return "list";
    case BencodeType::kDictionary:
      return "dictionary";
  }
  return "unknown";
}

// The type of the value that starts with lead: "d", "i", "l", anything else a string.
BencodeType TypeForLead(char lead) {
  switch (lead) {
    case 'd':
      return BencodeType::kDictionary;
    case 'i':
      return BencodeType::kInteger;
    case 'l':
      return BencodeType::kList;
    default:
      return BencodeType::kString;
  }
}

// Text up to ':' or 'e' as a signed 64-bit decimal, nothing else allowed; the delimiter stays.
bool ReadInteger(CBencodeStream& stream, std::int64_t& value) {
  std::string_view text;
  if (!stream.ReadUntil(":e", kMaxIntegerDigits, text) || text.empty()) {
    OB_LOG_AS(LOG_ERROR, "CBencode::Internalize", "Failed to read integer value");
    return false;
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) {
    OB_LOG_AS(LOG_ERROR, "CBencode::Internalize", "Failed to read integer value");
    return false;
  }
  return true;
}

bool ReadString(CBencodeStream& stream, std::string& value) {
  std::int64_t length = 0;
  std::string_view bytes;
  if (!ReadInteger(stream, length) || length < 0 || length > kMaxStringLength ||
      !stream.Take(':') || !stream.ReadBytes(static_cast<std::size_t>(length), bytes)) {
    OB_LOG_AS(LOG_ERROR, "CBencode::Internalize", "Illegal bencode string");
    return false;
  }
  value.assign(bytes);
  return true;
}

bool WriteInteger(CBencodeStream& stream, std::int64_t value) {
  char text[21];  // "%lld" of any 64-bit value and its terminator
  const int length = std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof text) {
    OB_LOG_AS(LOG_ERROR, "CBencode::Externalize", "snprintf failed");
    stream.MarkBad();
    return false;
  }
  return stream.Write({text, static_cast<std::size_t>(length)});
}

bool WriteString(CBencodeStream& stream, std::string_view value) {
  return WriteInteger(stream, static_cast<std::int64_t>(value.size())) && stream.Write(":") &&
         stream.Write(value);
}

// Decodes the value at the read position into a new object of the type its lead byte names.
// Null when the input is malformed or memory runs out; type says what was attempted.
std::unique_ptr<CBencode> DecodeValue(CBencodeStream& stream, BencodeType& type) {
  char lead = '\0';
  type = stream.Peek(lead) ? TypeForLead(lead) : BencodeType::kString;
  if (!stream.CountValue()) {
    OB_LOG_AS(LOG_ERROR, "CBencode::Internalize", "Bencode text holds more than %zu values",
              CBencodeStream::kMaxValueCount);
    return nullptr;
  }
  try {
    std::unique_ptr<CBencode> value = CBencode::Create(type);
    if (!value->Internalize(stream)) {
      return nullptr;
    }
    return value;
  } catch (const std::bad_alloc&) {
    OB_LOG_AS(LOG_ERROR, "CBencode::Internalize", "Out of memory decoding a bencode %s",
              TypeName(type));
    return nullptr;
  }
}

// Holds one nesting level of the stream for the life of a container's decoding.
class NestingGuard {
 public:
  explicit NestingGuard(CBencodeStream& stream) : stream_(stream), entered_(stream.EnterNested()) {
    if (!entered_) {
      OB_LOG_AS(LOG_ERROR, "CBencode::Internalize", "Bencode nesting deeper than %d levels",
                CBencodeStream::kMaxNestingDepth);
    }
  }
  ~NestingGuard() {
    if (entered_) {
      stream_.LeaveNested();
    }
  }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;

  [[nodiscard]] bool entered() const { return entered_; }

 private:
  CBencodeStream& stream_;
  bool entered_;
};

}  // namespace

// ---- CBencodeStream ----

CBencodeStream::CBencodeStream(std::wstring path, bool temporary_file)
    : path_(std::move(path)), temporary_file_(temporary_file) {}

void CBencodeStream::SetPath(std::wstring path) { path_ = std::move(path); }

std::wstring CBencodeStream::FilePath() const { return temporary_file_ ? path_ + L".temp" : path_; }

OB_STATUSCODE CBencodeStream::LoadStream() {
  SetText({});
  const std::string path = OBRuntime::WideToUtf8(FilePath());
  // Non-blocking so that a FIFO planted in place of the file cannot stall the caller.
  OBRuntime::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.valid()) {
    if (errno == ENOENT) {
      return kObSuccess;
    }
    OB_LOG_ERROR("Unable to open file for reading: %s: %s", path.c_str(), ErrnoText(errno).c_str());
    return kObFailure;
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
    OB_LOG_ERROR("Unable to open file for reading: %s is not a regular file", path.c_str());
    return kObFailure;
  }
  const auto size = static_cast<std::uint64_t>(info.st_size);
  if (size > kMaxFileSize) {
    OB_LOG_ERROR("File size exceeds maximum limit: %s has %llu bytes, at most %llu allowed",
                 path.c_str(), static_cast<unsigned long long>(size),
                 static_cast<unsigned long long>(kMaxFileSize));
    return kObFailure;
  }
  std::string text(static_cast<std::size_t>(size), '\0');
  if (!OBRuntime::ReadAll(file.get(), text.data(), text.size())) {
    OB_LOG_ERROR("File read failed: %s, %llu bytes expected", path.c_str(),
                 static_cast<unsigned long long>(size));
    return kObFailure;
  }
  SetText(std::move(text));
  return kObSuccess;
}

OB_STATUSCODE CBencodeStream::FlushStream(bool& existed) {
  existed = false;
  const std::string path = OBRuntime::WideToUtf8(FilePath());
  struct stat info {};
  const bool was_there = ::lstat(path.c_str(), &info) == 0;
  std::string temporary = path + ".XXXXXX";
  OBRuntime::UniqueFd file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!file.valid() || ::fchmod(file.get(), kFileMode) != 0) {
    OB_LOG_ERROR("Unable to open file for writing: %s: %s", path.c_str(), ErrnoText(errno).c_str());
    if (file.valid()) {
      ::unlink(temporary.c_str());
    }
    return kObFailure;
  }
  if (!OBRuntime::WriteAll(file.get(), text_.data(), text_.size())) {
    if (errno != 0) {
      OB_LOG_ERROR("WriteFile function failed: %s", ErrnoText(errno).c_str());
    } else {
      OB_LOG_ERROR("File write failed: %s", path.c_str());
    }
    ::unlink(temporary.c_str());
    return kObFailure;
  }
  if (::fsync(file.get()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    OB_LOG_ERROR("File write failed: %s: %s", path.c_str(), ErrnoText(errno).c_str());
    ::unlink(temporary.c_str());
    return kObFailure;
  }
  existed = temporary_file_ && was_there;
  return kObSuccess;
}

void CBencodeStream::SetText(std::string text) {
  text_ = std::move(text);
  position_ = 0;
  bad_ = false;
  depth_ = 0;
  values_ = 0;
}

bool CBencodeStream::Write(std::string_view bytes) {
  if (bad_) {
    return false;
  }
  try {
    text_.append(bytes);
    return true;
  } catch (const std::exception& error) {
    OB_LOG_ERROR("Caught exception: %s.", error.what());
    bad_ = true;
    return false;
  }
}

bool CBencodeStream::Peek(char& next) const {
  if (AtEnd()) {
    return false;
  }
  next = text_[position_];
  return true;
}

bool CBencodeStream::Take(char expected) {
  char next = '\0';
  if (!Peek(next) || next != expected) {
    return false;
  }
  ++position_;
  return true;
}

bool CBencodeStream::ReadUntil(std::string_view delimiters, std::size_t max_length,
                               std::string_view& out) {
  const std::string_view rest = std::string_view(text_).substr(position_);
  const std::size_t end = rest.substr(0, max_length + 1).find_first_of(delimiters);
  if (end == std::string_view::npos) {
    return false;
  }
  out = rest.substr(0, end);
  position_ += end;
  return true;
}

bool CBencodeStream::ReadBytes(std::size_t length, std::string_view& out) {
  if (text_.size() - position_ < length) {
    return false;
  }
  out = std::string_view(text_).substr(position_, length);
  position_ += length;
  return true;
}

bool CBencodeStream::CountValue() {
  if (values_ >= kMaxValueCount) {
    return false;
  }
  ++values_;
  return true;
}

bool CBencodeStream::EnterNested() {
  if (depth_ >= kMaxNestingDepth) {
    return false;
  }
  ++depth_;
  return true;
}

// ---- CBencode ----

CBencode::CBencode(std::int64_t value) : type_(BencodeType::kInteger), integer_(value) {}

CBencode::CBencode(std::string value) : type_(BencodeType::kString), string_(std::move(value)) {}

std::unique_ptr<CBencode> CBencode::Create(BencodeType type) {
  switch (type) {
    case BencodeType::kInteger:
      return std::make_unique<CBencode>(std::int64_t{0});
    case BencodeType::kString:
      return std::make_unique<CBencode>(std::string());
    case BencodeType::kList:
      return std::make_unique<CBencodeList>();
    case BencodeType::kDictionary:
      return std::make_unique<CBencodeDictionary>();
  }
  return nullptr;
}

std::unique_ptr<CBencode> CBencode::Decode(CBencodeStream& stream) {
  BencodeType type = BencodeType::kString;
  return DecodeValue(stream, type);
}

bool CBencode::Externalize(CBencodeStream& stream) const {
  if (type_ == BencodeType::kInteger) {
    return stream.Write("i") && WriteInteger(stream, integer_) && stream.Write("e");
  }
  return WriteString(stream, string_);
}

bool CBencode::Internalize(CBencodeStream& stream) {
  if (type_ == BencodeType::kString) {
    return ReadString(stream, string_);
  }
  if (!stream.Take('i')) {
    OB_LOG_ERROR("Failed to read integer value: no 'i'");
    return false;
  }
  if (!ReadInteger(stream, integer_)) {
    return false;
  }
  if (!stream.Take('e')) {
    OB_LOG_ERROR("Failed to read integer value: no 'e'");
    return false;
  }
  return true;
}

void CBencode::Clear() {
  integer_ = 0;
  string_.clear();
}

bool CBencode::Equals(const CBencode& other) const {
  return type_ == other.type_ && integer_ == other.integer_ && string_ == other.string_;
}

bool CBencode::Get(std::int64_t& value) const {
  if (type_ != BencodeType::kInteger) {
    OB_LOG_ERROR("Bencode is not of type integer");
    return false;
  }
  value = integer_;
  return true;
}

bool CBencode::Get(std::string& value) const {
  if (type_ != BencodeType::kString) {
    OB_LOG_ERROR("Bencode is not of type string");
    return false;
  }
  value = string_;
  return true;
}

bool CBencode::Set(std::int64_t value) {
  if (type_ != BencodeType::kInteger) {
    OB_LOG_ERROR("Bencode is not of type integer");
    return false;
  }
  integer_ = value;
  return true;
}

bool CBencode::Set(std::string value) {
  if (type_ != BencodeType::kString) {
    OB_LOG_ERROR("Bencode is not of type string");
    return false;
  }
  string_ = std::move(value);
  return true;
}

bool CBencode::Add(std::int64_t amount) {
  if (type_ != BencodeType::kInteger) {
    OB_LOG_ERROR("Add function called for non-Integer bencode type");
    return false;
  }
  std::int64_t sum = 0;
  if (__builtin_add_overflow(integer_, amount, &sum)) {
    OB_LOG_ERROR("Add operation will cause integer overflow");
    return false;
  }
  integer_ = sum;
  return true;
}

// ---- CBencodeList ----

bool CBencodeList::Externalize(CBencodeStream& stream) const {
  if (!stream.Write("l")) {
    return false;
  }
  for (const auto& item : items_) {
    if (!item->Externalize(stream)) {
      OB_LOG_ERROR("Failed to externalize list item");
      return false;
    }
  }
  return stream.Write("e");
}

bool CBencodeList::Internalize(CBencodeStream& stream) {
  items_.clear();
  const NestingGuard level(stream);
  if (!level.entered()) {
    return false;
  }
  if (!stream.Take('l')) {
    OB_LOG_ERROR("Bencode list does not start with 'l'");
    return false;
  }
  while (!stream.Take('e')) {
    BencodeType type = BencodeType::kString;
    std::unique_ptr<CBencode> item = DecodeValue(stream, type);
    if (item == nullptr) {
      OB_LOG_ERROR("Failed to internalize list item of type %s", TypeName(type));
      items_.clear();
      return false;
    }
    items_.push_back(std::move(item));
  }
  return true;
}

void CBencodeList::Clear() { items_.clear(); }

bool CBencodeList::Equals(const CBencode& other) const {
  if (other.Type() != BencodeType::kList) {
    return false;
  }
  const auto& list = static_cast<const CBencodeList&>(other);
  if (list.items_.size() != items_.size()) {
    return false;
  }
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (!items_[i]->Equals(*list.items_[i])) {
      return false;
    }
  }
  return true;
}

bool CBencodeList::Append(std::unique_ptr<CBencode> item) {
  if (item == nullptr) {
    OB_LOG_ERROR("NULL item stored in list");
    return false;
  }
  items_.push_back(std::move(item));
  return true;
}

bool CBencodeList::indexValid(std::size_t index) const {
  if (index >= items_.size()) {
    OB_LOG_ERROR("Out-of-bound bencode list item access: index %zu, %zu items", index,
                 items_.size());
    return false;
  }
  return true;
}

CBencode* CBencodeList::operator[](std::size_t index) {
  return indexValid(index) ? items_[index].get() : nullptr;
}

const CBencode* CBencodeList::operator[](std::size_t index) const {
  return indexValid(index) ? items_[index].get() : nullptr;
}

std::unique_ptr<CBencode> CBencodeList::Remove(std::size_t index) {
  if (!indexValid(index)) {
    return nullptr;
  }
  std::unique_ptr<CBencode> item = std::move(items_[index]);
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
  return item;
}

bool CBencodeList::Erase(std::size_t index) {
  if (!indexValid(index)) {
    return false;
  }
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
  return true;
}

// ---- CBencodeDictionary ----

CBencodeDictionary::CBencodeDictionary(bool temporary_file)
    : CBencode(BencodeType::kDictionary), temporary_file_(temporary_file) {}

bool CBencodeDictionary::Externalize(CBencodeStream& stream) const {
  if (!stream.Write("d")) {
    OB_LOG_ERROR("Failed to externalize dictionary type identifier");
    return false;
  }
  for (const auto& [key, value] : items_) {
    if (!WriteString(stream, key)) {
      OB_LOG_ERROR("Failed to externalize key string");
      return false;
    }
    if (!value->Externalize(stream)) {
      OB_LOG_ERROR("Failed to externalize value");
      return false;
    }
  }
  if (!stream.Write("e")) {
    OB_LOG_ERROR("Failed to externalize dictionary type identifier");
    return false;
  }
  return true;
}

bool CBencodeDictionary::Internalize(CBencodeStream& stream) {
  items_.clear();
  const NestingGuard level(stream);
  if (!level.entered()) {
    return false;
  }
  if (!stream.Take('d')) {
    OB_LOG_ERROR("Bencode dictionary does not start with 'd'");
    return false;
  }
  while (!stream.Take('e')) {
    std::string key;
    if (!ReadString(stream, key) || items_.contains(key)) {
      OB_LOG_ERROR("Failed to internalize key string");
      items_.clear();
      return false;
    }
    BencodeType type = BencodeType::kString;
    std::unique_ptr<CBencode> value = DecodeValue(stream, type);
    if (value == nullptr) {
      OB_LOG_ERROR("Failed to internalize value of type %s", TypeName(type));
      items_.clear();
      return false;
    }
    items_.emplace(std::move(key), std::move(value));
  }
  return true;
}

void CBencodeDictionary::Clear() { items_.clear(); }

bool CBencodeDictionary::Equals(const CBencode& other) const {
  if (other.Type() != BencodeType::kDictionary) {
    return false;
  }
  const auto& dictionary = static_cast<const CBencodeDictionary&>(other);
  if (dictionary.items_.size() != items_.size()) {
    return false;
  }
  auto theirs = dictionary.items_.begin();
  for (const auto& [key, value] : items_) {
    if (key != theirs->first || !value->Equals(*theirs->second)) {
      return false;
    }
    ++theirs;
  }
  return true;
}

void CBencodeDictionary::SetFile(const std::wstring& path) {
  if (stream_ == nullptr) {
    stream_ = std::make_unique<CBencodeStream>(path, temporary_file_);
  } else {
    stream_->SetPath(path);
  }
}

OB_STATUSCODE CBencodeDictionary::Load() {
  if (stream_ == nullptr) {
    OB_LOG_ERROR("Bencode stream should be set before calling Internalize");
    return kNoStream;
  }
  items_.clear();
  if (const OB_STATUSCODE status = stream_->LoadStream(); status != kObSuccess) {
    return status;
  }
  if (stream_->AtEnd()) {
    return kObSuccess;
  }
  if (!Internalize(*stream_) || !stream_->AtEnd()) {
    OB_LOG_ERROR("Bencode dictionary internalize failed: %s",
                 OBRuntime::WideToUtf8(stream_->FilePath()).c_str());
    items_.clear();
    return kObFailure;
  }
  return kObSuccess;
}

OB_STATUSCODE CBencodeDictionary::Flush(bool write) {
  if (stream_ == nullptr) {
    OB_LOG_ERROR("Bencode stream should be set before calling Externalize");
    return kNoStream;
  }
  stream_->SetText({});
  if (!Externalize(*stream_)) {
    return kObFailure;
  }
  if (!write) {
    return kObSuccess;
  }
  bool existed = false;
  if (const OB_STATUSCODE status = stream_->FlushStream(existed); status != kObSuccess) {
    OB_LOG_ERROR("Failed to flush stream to the file: status %d", status);
    return status;
  }
  if (temporary_file_ && !existed) {
    items_.clear();
  }
  return kObSuccess;
}

bool CBencodeDictionary::Insert(std::string key, std::unique_ptr<CBencode> value) {
  if (value == nullptr) {
    OB_LOG_ERROR("Dictionary item is NULL: key \"%s\"", key.c_str());
    return false;
  }
  items_.insert_or_assign(std::move(key), std::move(value));
  return true;
}

void CBencodeDictionary::SetInteger(std::string key, std::int64_t value) {
  items_.insert_or_assign(std::move(key), std::make_unique<CBencode>(value));
}

CBencode* CBencodeDictionary::Get(const std::string& key) const {
  const auto found = items_.find(key);
  return found == items_.end() ? nullptr : found->second.get();
}

CBencodeDictionary* CBencodeDictionary::GetDictionary(const std::string& key) const {
  CBencode* item = Get(key);
  if (item != nullptr && item->Type() != BencodeType::kDictionary) {
    OB_LOG_ERROR("Dictionary item is not a dictionary: key \"%s\"", key.c_str());
    return nullptr;
  }
  return static_cast<CBencodeDictionary*>(item);
}

CBencodeList* CBencodeDictionary::GetList(const std::string& key) const {
  CBencode* item = Get(key);
  if (item != nullptr && item->Type() != BencodeType::kList) {
    OB_LOG_ERROR("Dictionary item is not a list: key \"%s\"", key.c_str());
    return nullptr;
  }
  return static_cast<CBencodeList*>(item);
}

bool CBencodeDictionary::Erase(const std::string& key) { return items_.erase(key) > 0; }

std::vector<std::string> CBencodeDictionary::Keys() const {
  std::vector<std::string> keys;
  keys.reserve(items_.size());
  for (const auto& entry : items_) {
    keys.push_back(entry.first);
  }
  return keys;
}
