#include "stats/bencode.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::string Encode(const CBencode& value) {
  CBencodeStream stream;
  EXPECT_TRUE(value.Externalize(stream));
  return stream.Text();
}

// The whole text as one value; null when it is malformed or followed by anything.
std::unique_ptr<CBencode> Decode(std::string text) {
  CBencodeStream stream;
  stream.SetText(std::move(text));
  std::unique_ptr<CBencode> value = CBencode::Decode(stream);
  return value != nullptr && stream.AtEnd() ? std::move(value) : nullptr;
}

std::string Nested(char open, int depth) {
  return std::string(static_cast<std::size_t>(depth), open) +
         std::string(static_cast<std::size_t>(depth), 'e');
}

std::string Repeated(const std::string& part, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += part;
  return text;
}

std::string NestedDictionaries(int depth) {
  std::string text;
  for (int i = 1; i < depth; ++i) text += "d1:k";
  text += "de";
  return text + std::string(static_cast<std::size_t>(depth - 1), 'e');
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(BencodeTest, EncodesScalarsAndOrdersDictionaryKeys) {
  EXPECT_EQ(Encode(CBencode(std::int64_t{-5})), "i-5e");
  EXPECT_EQ(Encode(CBencode(std::string("abc"))), "3:abc");
  EXPECT_EQ(Encode(CBencode(std::string())), "0:");
  EXPECT_EQ(Encode(CBencode(std::numeric_limits<std::int64_t>::min())), "i-9223372036854775808e");
  EXPECT_EQ(Encode(CBencode(std::string("a\0b", 3))), std::string("3:a\0b", 5));

  CBencodeDictionary dictionary;
  dictionary.SetInteger("b", 2);
  dictionary.SetInteger("a", 1);
  ASSERT_TRUE(dictionary.Insert("\xff", std::make_unique<CBencode>(std::string("hi"))));
  EXPECT_EQ(Encode(dictionary),
            "d1:ai1e1:bi2e1:\xff"
            "2:hie")
      << "ascending byte order";
  EXPECT_EQ(dictionary.Keys(), (std::vector<std::string>{"a", "b", "\xff"}));
}

TEST(BencodeTest, NestedValuesRoundTrip) {
  const std::vector<std::string> texts = {
      "i0e",
      "i9223372036854775807e",
      "le",
      "de",
      "l0:i1el3:abcdeee",
      "d4:dictd1:xi-1ee4:listli1ei2eee",
      "d11:DbFile Sizei2048e7:Enabledi1e13:Flows per dayi530ee",
      Nested('l', CBencodeStream::kMaxNestingDepth),
      "l" + Repeated("0:", CBencodeStream::kMaxValueCount - 1) + "e",
      NestedDictionaries(CBencodeStream::kMaxNestingDepth),
  };
  for (const std::string& text : texts) {
    const std::unique_ptr<CBencode> value = Decode(text);
    ASSERT_NE(value, nullptr) << text;
    EXPECT_EQ(Encode(*value), text);
    const std::unique_ptr<CBencode> again = Decode(Encode(*value));
    ASSERT_NE(again, nullptr) << text;
    EXPECT_TRUE(value->Equals(*again)) << text;
  }
  EXPECT_FALSE(Decode("li1ee")->Equals(*Decode("li2ee")));
  EXPECT_FALSE(Decode("d1:ai1ee")->Equals(*Decode("d1:bi1ee")));
  EXPECT_FALSE(Decode("le")->Equals(*Decode("de")));

  // Keys out of order are accepted and written back in order.
  const std::unique_ptr<CBencode> unordered = Decode("d1:bi2e1:ai1ee");
  ASSERT_NE(unordered, nullptr);
  EXPECT_EQ(Encode(*unordered), "d1:ai1e1:bi2ee");
}

TEST(BencodeTest, RejectsMalformedInputWithItsMessage) {
  struct Case {
    std::string text;
    std::string message;
  };
  const std::string too_long(524289, 'x');
  const std::vector<Case> cases = {
      {"524289:" + too_long, "Illegal bencode string"},
      {"i123456789012345678901e", "Failed to read integer value"},
      {"i9223372036854775808e", "Failed to read integer value"},
      {"i-9223372036854775809e", "Failed to read integer value"},
      {"ie", "Failed to read integer value"},
      {"i+5e", "Failed to read integer value"},
      {"i 5e", "Failed to read integer value"},
      {"i5", "Failed to read integer value"},
      {"i5:", "Failed to read integer value"},
      {"i1x2e", "Failed to read integer value"},
      {"-1:a", "Illegal bencode string"},
      {"4:abc", "Illegal bencode string"},
      {"3abc", "Illegal bencode string"},
      {"", "Illegal bencode string"},
      {"l", "Failed to internalize list item of type string"},
      {"li1e", "Failed to internalize list item of type string"},
      {"lli1e", "Failed to internalize list item of type list"},
      {"ldi1e", "Failed to internalize list item of type dictionary"},
      {"li1x", "Failed to internalize list item of type integer"},
      {"d1:ai1e1:ai2ee", "Failed to internalize key string"},
      {"di1ei2ee", "Failed to internalize key string"},
      {"d1:a", "Failed to internalize value of type string"},
      {"d1:ai1", "Failed to internalize value of type integer"},
      {"d1:al", "Failed to internalize value of type list"},
      {"d1:ad", "Failed to internalize value of type dictionary"},
      {"d1:a2:x", "Failed to internalize value of type string"},
      {Nested('l', CBencodeStream::kMaxNestingDepth + 1), "Bencode nesting deeper than 64 levels"},
      {NestedDictionaries(CBencodeStream::kMaxNestingDepth + 1),
       "Bencode nesting deeper than 64 levels"},
      {std::string(100000, 'l'), "Bencode nesting deeper than 64 levels"},
      {"l" + Repeated("0:", CBencodeStream::kMaxValueCount) + "e",
       "Bencode text holds more than 65536 values"},
  };
  for (const Case& c : cases) {
    orv::test::LogCapture log;
    EXPECT_EQ(Decode(c.text), nullptr) << c.text.substr(0, 40);
    EXPECT_TRUE(log.Contains(c.message)) << c.text.substr(0, 40) << " -> " << c.message;
  }
}

TEST(BencodeTest, TypedAccessChecksTypeAndOverflow) {
  orv::test::LogCapture log;
  CBencode integer(std::int64_t{41});
  CBencode text(std::string("x"));
  std::int64_t number = 0;
  std::string bytes;

  EXPECT_FALSE(text.Get(number));
  EXPECT_FALSE(text.Set(std::int64_t{1}));
  EXPECT_TRUE(log.Has(LOG_ERROR, "CBencode::Get", "Bencode is not of type integer"));
  EXPECT_FALSE(integer.Get(bytes));
  EXPECT_FALSE(integer.Set(std::string("y")));
  EXPECT_TRUE(log.Has(LOG_ERROR, "CBencode::Set", "Bencode is not of type string"));
  EXPECT_FALSE(text.Add(1));
  EXPECT_TRUE(
      log.Has(LOG_ERROR, "CBencode::Add", "Add function called for non-Integer bencode type"));

  ASSERT_TRUE(integer.Add(1));
  ASSERT_TRUE(integer.Get(number));
  EXPECT_EQ(number, 42);
  ASSERT_TRUE(integer.Set(std::numeric_limits<std::int64_t>::max()));
  EXPECT_FALSE(integer.Add(1));
  EXPECT_TRUE(log.Has(LOG_ERROR, "CBencode::Add", "Add operation will cause integer overflow"));
  ASSERT_TRUE(integer.Set(std::numeric_limits<std::int64_t>::min()));
  EXPECT_FALSE(integer.Add(-1));
  ASSERT_TRUE(integer.Get(number));
  EXPECT_EQ(number, std::numeric_limits<std::int64_t>::min()) << "unchanged after a refused Add";
  ASSERT_TRUE(text.Set(std::string("new")));
  ASSERT_TRUE(text.Get(bytes));
  EXPECT_EQ(bytes, "new");
}

TEST(BencodeTest, ContainerAccessIsBoundedAndTyped) {
  orv::test::LogCapture log;
  CBencodeList list;
  EXPECT_FALSE(list.Append(nullptr));
  EXPECT_TRUE(log.Has(LOG_ERROR, "CBencodeList::Append", "NULL item stored in list"));
  ASSERT_TRUE(list.Append(std::make_unique<CBencode>(std::int64_t{1})));
  ASSERT_TRUE(list.Append(std::make_unique<CBencode>(std::string("two"))));
  EXPECT_EQ(list[2], nullptr);
  EXPECT_EQ(list.Remove(5), nullptr);
  EXPECT_FALSE(list.Erase(2));
  EXPECT_TRUE(log.Contains("Out-of-bound bencode list item access"));
  const std::unique_ptr<CBencode> first = list.Remove(0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->Type(), BencodeType::kInteger);
  ASSERT_EQ(list.Size(), 1U);
  EXPECT_EQ(list[0]->Type(), BencodeType::kString);
  EXPECT_TRUE(list.Erase(0));
  EXPECT_EQ(list.Size(), 0U);

  CBencodeDictionary dictionary;
  EXPECT_FALSE(dictionary.Insert("k", nullptr));
  EXPECT_TRUE(log.Contains("Dictionary item is NULL"));
  ASSERT_TRUE(dictionary.Insert("list", std::make_unique<CBencodeList>()));
  ASSERT_TRUE(dictionary.Insert("dict", std::make_unique<CBencodeDictionary>()));
  EXPECT_NE(dictionary.GetList("list"), nullptr);
  EXPECT_NE(dictionary.GetDictionary("dict"), nullptr);
  EXPECT_EQ(dictionary.GetList("dict"), nullptr);
  EXPECT_TRUE(log.Contains("Dictionary item is not a list"));
  EXPECT_EQ(dictionary.GetDictionary("list"), nullptr);
  EXPECT_TRUE(log.Contains("Dictionary item is not a dictionary"));
  EXPECT_EQ(dictionary.Get("missing"), nullptr);
  EXPECT_TRUE(dictionary.Erase("list"));
  EXPECT_FALSE(dictionary.Erase("list"));
}

TEST(BencodeTest, ExternalizeIntoBadStreamFailsWithMessage) {
  orv::test::LogCapture log;
  CBencodeDictionary dictionary;
  dictionary.SetInteger("a", 1);
  CBencodeStream stream;
  stream.MarkBad();
  EXPECT_FALSE(dictionary.Externalize(stream));
  EXPECT_TRUE(log.Contains("Failed to externalize dictionary type identifier"));
}

class BencodeFileTest : public ::testing::Test {
 protected:
  orv::test::TempDir temp_;
  fs::path base_ = temp_.path() / "stats.tlw";
  fs::path temporary_ = temp_.path() / "stats.tlw.temp";
};

TEST_F(BencodeFileTest, DictionaryWithoutFileAnswersNoStream) {
  orv::test::LogCapture log;
  CBencodeDictionary dictionary;
  EXPECT_EQ(dictionary.Flush(true), CBencodeDictionary::kNoStream);
  EXPECT_TRUE(log.Contains("Bencode stream should be set before calling Externalize"));
  EXPECT_EQ(dictionary.Load(), CBencodeDictionary::kNoStream);
}

TEST_F(BencodeFileTest, FlushWritesFileAndLoadReadsItBack) {
  CBencodeDictionary written(false);
  written.SetFile(base_.wstring());
  written.SetInteger("b", 2);
  ASSERT_TRUE(written.Insert("a", std::make_unique<CBencode>(std::string("x"))));
  ASSERT_EQ(written.Flush(true), kObSuccess);
  EXPECT_EQ(ReadFile(base_), "d1:a1:x1:bi2ee");
  EXPECT_EQ(written.Size(), 2U) << "no temporary flag: items are kept";
  EXPECT_EQ(fs::status(base_).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);

  CBencodeDictionary loaded(false);
  loaded.SetFile(base_.wstring());
  ASSERT_EQ(loaded.Load(), kObSuccess);
  EXPECT_TRUE(loaded.Equals(written));
  EXPECT_EQ(std::distance(fs::directory_iterator(temp_.path()), fs::directory_iterator()), 1)
      << "no leftover file of the replacement";
}

TEST_F(BencodeFileTest, TemporaryFlagTargetsTempFileAndReportsWhetherItExisted) {
  CBencodeStream stream(base_.wstring(), true);
  EXPECT_EQ(stream.FilePath(), temporary_.wstring());
  ASSERT_TRUE(stream.Write("de"));
  bool existed = true;
  ASSERT_EQ(stream.FlushStream(existed), kObSuccess);
  EXPECT_FALSE(existed);
  ASSERT_EQ(stream.FlushStream(existed), kObSuccess);
  EXPECT_TRUE(existed);
  EXPECT_FALSE(fs::exists(base_));

  CBencodeStream plain(base_.wstring(), false);
  ASSERT_EQ(plain.FlushStream(existed), kObSuccess);
  ASSERT_EQ(plain.FlushStream(existed), kObSuccess);
  EXPECT_FALSE(existed) << "only the temporary form reports an existing file";
}

TEST_F(BencodeFileTest, LoadOfMissingFileIsEmptyAndCreatesNothing) {
  CBencodeDictionary dictionary(true);
  dictionary.SetInteger("stale", 1);
  dictionary.SetFile(base_.wstring());
  ASSERT_EQ(dictionary.Load(), kObSuccess);
  EXPECT_EQ(dictionary.Size(), 0U);
  EXPECT_FALSE(fs::exists(temporary_));
}

TEST_F(BencodeFileTest, RejectsOversizedMalformedAndUnwritableFiles) {
  {
    orv::test::LogCapture log;
    WriteFile(temporary_, "d1:ai1ee");
    fs::resize_file(temporary_, CBencodeStream::kMaxFileSize + 1);
    CBencodeDictionary dictionary(true);
    dictionary.SetFile(base_.wstring());
    EXPECT_EQ(dictionary.Load(), kObFailure);
    EXPECT_EQ(dictionary.Size(), 0U);
    EXPECT_TRUE(log.Contains("File size exceeds maximum limit"));
  }
  const std::vector<std::string> malformed = {"d1:ai1ee trailing", "d1:ai1e", "x", "li1ee",
                                              Nested('d', 1000)};
  for (const std::string& text : malformed) {
    orv::test::LogCapture log;
    WriteFile(temporary_, text);
    CBencodeDictionary dictionary(true);
    dictionary.SetFile(base_.wstring());
    EXPECT_EQ(dictionary.Load(), kObFailure) << text.substr(0, 20);
    EXPECT_EQ(dictionary.Size(), 0U);
    EXPECT_TRUE(log.Contains("Bencode dictionary internalize failed")) << text.substr(0, 20);
  }
  {
    orv::test::LogCapture log;
    fs::remove(temporary_);
    ASSERT_EQ(::mkfifo(temporary_.c_str(), 0600), 0);
    CBencodeStream stream(base_.wstring(), true);
    EXPECT_EQ(stream.LoadStream(), kObFailure) << "a FIFO is refused without blocking";
    EXPECT_TRUE(log.Contains("Unable to open file for reading"));
  }
  {
    orv::test::LogCapture log;
    CBencodeStream stream((temp_.path() / "missing" / "stats.tlw").wstring(), true);
    bool existed = false;
    EXPECT_EQ(stream.FlushStream(existed), kObFailure);
    EXPECT_TRUE(log.Contains("Unable to open file for writing"));
  }
}

TEST_F(BencodeFileTest, WriteThatCreatesTemporaryFileClearsItems) {
  CBencodeDictionary dictionary(true);
  dictionary.SetFile(base_.wstring());
  dictionary.SetInteger("a", 1);
  ASSERT_EQ(dictionary.Flush(true), kObSuccess);
  EXPECT_EQ(ReadFile(temporary_), "d1:ai1ee");
  EXPECT_EQ(dictionary.Size(), 0U) << "the file was new";

  dictionary.SetInteger("a", 2);
  ASSERT_EQ(dictionary.Flush(true), kObSuccess);
  EXPECT_EQ(ReadFile(temporary_), "d1:ai2ee");
  EXPECT_EQ(dictionary.Size(), 1U) << "the file was already there";

  ASSERT_EQ(dictionary.Flush(false), kObSuccess);
  EXPECT_EQ(dictionary.Stream()->Text(), "d1:ai2ee");
}

}  // namespace
