// Bencode values (integers, byte strings, lists, dictionaries) and the file-backed text buffer
// they are encoded into and decoded from, as used by the usage statistics file.
//
// Encoding follows the bencode standard; dictionary keys are written in ascending byte order.
// Decoding is defensive because the file lives in another module's directory: integers are
// at most 20 characters and must fit a signed 64-bit value, strings at most 512 KiB, containers
// nest at most kMaxNestingDepth deep, a text holds at most kMaxValueCount values, files at most
// 10 MiB. Every failure is logged at error level and returned as false or a negative status;
// nothing throws.
//
// Objects are not thread-safe: one owner uses a value tree and its stream at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"

enum class BencodeType : int { kInteger = 0, kString = 1, kList = 2, kDictionary = 3 };

// A text buffer with a read position, optionally backed by a file. The file is the path, or the
// path + ".temp" when the temporary-file flag is set (the form another module consumes and
// removes).
class CBencodeStream {
 public:
  static constexpr std::uint64_t kMaxFileSize = 10485760;  // 10 MiB
  static constexpr int kMaxNestingDepth = 64;
  // Values one text may hold: a 10 MiB file of tiny items would otherwise cost some 70 bytes of
  // memory per 2 bytes of input.
  static constexpr std::size_t kMaxValueCount = 65536;

  // An in-memory stream with no file.
  CBencodeStream() = default;
  CBencodeStream(std::wstring path, bool temporary_file);
  virtual ~CBencodeStream() = default;
  CBencodeStream(const CBencodeStream&) = delete;
  CBencodeStream& operator=(const CBencodeStream&) = delete;

  // Replaces the buffer with the whole file. A missing file reads as empty and is not created
  // (creating it would hide a removal from FlushStream). kObFailure, buffer emptied, when the
  // file cannot be opened, is not a regular file, exceeds kMaxFileSize or reads short.
  [[nodiscard]] virtual OB_STATUSCODE LoadStream();
  // Replaces the file with the whole buffer (a new file renamed into place, mode 0644, so a
  // reader never sees it half-written). existed is true only when the temporary-file flag is set
  // and that file was already there. kObFailure when the file cannot be written.
  [[nodiscard]] virtual OB_STATUSCODE FlushStream(bool& existed);

  // Retargets the stream; the buffer is kept.
  void SetPath(std::wstring path);
  // The file actually read and written: the path, + ".temp" with the temporary-file flag.
  [[nodiscard]] std::wstring FilePath() const;

  // Replaces the buffer and rewinds reading; clears the bad mark.
  void SetText(std::string text);
  [[nodiscard]] const std::string& Text() const { return text_; }
  // Appends bytes; false (and the stream marked bad) when the stream is bad or memory runs out.
  [[nodiscard]] bool Write(std::string_view bytes);
  [[nodiscard]] bool Good() const { return !bad_; }
  void MarkBad() { bad_ = true; }

  // True when every byte of the buffer has been read.
  [[nodiscard]] bool AtEnd() const { return position_ >= text_.size(); }
  // The next byte without consuming it; false at the end.
  [[nodiscard]] bool Peek(char& next) const;
  // Consumes the next byte when it equals expected.
  [[nodiscard]] bool Take(char expected);
  // The bytes before the first of delimiters, consumed (the delimiter is not); false, nothing
  // consumed, when no delimiter follows within max_length bytes.
  [[nodiscard]] bool ReadUntil(std::string_view delimiters, std::size_t max_length,
                               std::string_view& out);
  // The next length bytes, consumed; false, nothing consumed, when fewer remain.
  [[nodiscard]] bool ReadBytes(std::size_t length, std::string_view& out);

  // Counts one value decoded since SetText; false when that would exceed kMaxValueCount.
  [[nodiscard]] bool CountValue();
  // Enters one container level while decoding; false when that would exceed kMaxNestingDepth.
  [[nodiscard]] bool EnterNested();
  void LeaveNested() { --depth_; }

 private:
  std::wstring path_;
  bool temporary_file_ = false;
  std::string text_;
  std::size_t position_ = 0;  // next byte to read, <= text_.size()
  bool bad_ = false;
  int depth_ = 0;           // containers being decoded, 0..kMaxNestingDepth
  std::size_t values_ = 0;  // values decoded since SetText, 0..kMaxValueCount
};

// One bencode value: an integer or a byte string here, a list or a dictionary in the subclasses.
class CBencode {
 public:
  explicit CBencode(std::int64_t value);
  explicit CBencode(std::string value);
  // A value of the type with a zero or empty content; null for an unknown type.
  [[nodiscard]] static std::unique_ptr<CBencode> Create(BencodeType type);
  // The value at the stream's read position, its type chosen by the lead byte ("d" dictionary,
  // "i" integer, "l" list, anything else a string); null on malformed input (logged).
  [[nodiscard]] static std::unique_ptr<CBencode> Decode(CBencodeStream& stream);
  virtual ~CBencode() = default;
  CBencode(const CBencode&) = delete;
  CBencode& operator=(const CBencode&) = delete;

  // Appends the encoded value to the stream's buffer; false on failure (logged).
  [[nodiscard]] virtual bool Externalize(CBencodeStream& stream) const;
  // Replaces this value with the one encoded at the stream's read position, which must be of
  // this value's type; false on malformed input (logged), the value then unspecified but valid.
  [[nodiscard]] virtual bool Internalize(CBencodeStream& stream);
  // Resets the content: 0, the empty string, no items.
  virtual void Clear();
  // True when other has the same type and content (containers compared item by item).
  [[nodiscard]] virtual bool Equals(const CBencode& other) const;

  [[nodiscard]] BencodeType Type() const { return type_; }
  // Typed access; false, with a log line, for a value of another type.
  [[nodiscard]] bool Get(std::int64_t& value) const;
  [[nodiscard]] bool Get(std::string& value) const;
  [[nodiscard]] bool Set(std::int64_t value);
  [[nodiscard]] bool Set(std::string value);
  // Adds to an integer; false, value unchanged, for another type or a signed 64-bit overflow.
  [[nodiscard]] bool Add(std::int64_t amount);

 protected:
  explicit CBencode(BencodeType type) : type_(type) {}

 private:
  BencodeType type_;
  std::int64_t integer_ = 0;  // valid for kInteger
  std::string string_;        // valid for kString
};

class CBencodeList : public CBencode {
 public:
  CBencodeList() : CBencode(BencodeType::kList) {}

  // CBencode
  [[nodiscard]] bool Externalize(CBencodeStream& stream) const override;
  [[nodiscard]] bool Internalize(CBencodeStream& stream) override;
  void Clear() override;
  [[nodiscard]] bool Equals(const CBencode& other) const override;

  [[nodiscard]] std::size_t Size() const { return items_.size(); }
  // Takes the item to the end of the list; false for a null item.
  [[nodiscard]] bool Append(std::unique_ptr<CBencode> item);
  // The item at index, or null (logged) past the end.
  CBencode* operator[](std::size_t index);
  const CBencode* operator[](std::size_t index) const;
  // Takes the item at index out of the list; null (logged) past the end.
  [[nodiscard]] std::unique_ptr<CBencode> Remove(std::size_t index);
  // Destroys the item at index; false (logged) past the end.
  bool Erase(std::size_t index);

 private:
  [[nodiscard]] bool indexValid(std::size_t index) const;

  std::vector<std::unique_ptr<CBencode>> items_;  // never null
};

class CBencodeDictionary : public CBencode {
 public:
  // What Flush answers when no file was set.
  static constexpr OB_STATUSCODE kNoStream = -4;

  explicit CBencodeDictionary(bool temporary_file = false);

  // CBencode
  [[nodiscard]] bool Externalize(CBencodeStream& stream) const override;
  [[nodiscard]] bool Internalize(CBencodeStream& stream) override;
  void Clear() override;
  [[nodiscard]] bool Equals(const CBencode& other) const override;

  // Creates the stream for path with this dictionary's temporary-file flag, or retargets it.
  void SetFile(const std::wstring& path);
  // The stream, null until SetFile.
  [[nodiscard]] CBencodeStream* Stream() { return stream_.get(); }
  // Replaces the items with the file's dictionary (a missing or empty file is an empty one).
  // kNoStream without a file; kObFailure, items left empty, for an unreadable or malformed file.
  [[nodiscard]] OB_STATUSCODE Load();
  // Encodes the dictionary into the stream's buffer and, with write, into the file. With the
  // temporary-file flag, a write that had to create the file clears the items afterwards.
  // kNoStream without a file, kObFailure when encoding or writing fails.
  [[nodiscard]] OB_STATUSCODE Flush(bool write);

  [[nodiscard]] std::size_t Size() const { return items_.size(); }
  // Stores value under key, replacing an existing item; false for a null value.
  [[nodiscard]] bool Insert(std::string key, std::unique_ptr<CBencode> value);
  // Stores an integer under key, replacing an existing item.
  void SetInteger(std::string key, std::int64_t value);
  // The item under key, or null when there is none.
  [[nodiscard]] CBencode* Get(const std::string& key) const;
  // The item under key when it is a dictionary (list); null, logged for another type.
  [[nodiscard]] CBencodeDictionary* GetDictionary(const std::string& key) const;
  [[nodiscard]] CBencodeList* GetList(const std::string& key) const;
  // Destroys the item under key; false when there is none.
  bool Erase(const std::string& key);
  // The keys in ascending byte order.
  [[nodiscard]] std::vector<std::string> Keys() const;

 private:
  std::map<std::string, std::unique_ptr<CBencode>> items_;  // values never null
  std::unique_ptr<CBencodeStream> stream_;                  // null until SetFile
  bool temporary_file_;
};
