#include "stats/bencode.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using orv::test::ChildProcess;
using namespace std::string_literals;

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

std::string Repeated(const std::string& part, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += part;
  return text;
}

TEST(BencodeTest, EncodesInKeyOrderAndRoundTripsUpToTheLimits) {
  CBencodeDictionary dictionary;
  dictionary.SetInteger("b", std::numeric_limits<std::int64_t>::min());
  dictionary.SetInteger("a", 1);
  ASSERT_TRUE(dictionary.Insert("\xff", std::make_unique<CBencode>(std::string("h\0i", 3))));
  EXPECT_EQ(Encode(dictionary),
            "d1:ai1e1:bi-9223372036854775808e1:\xff"
            "3:h\0ie"s)
      << "keys in ascending byte order";
  EXPECT_EQ(dictionary.Keys(), (std::vector<std::string>{"a", "b", "\xff"}));

  const int depth = CBencodeStream::kMaxNestingDepth;
  for (const std::string& text :
       {std::string("l0:i9223372036854775807el3:abcdeee"), std::string("d4:dictd1:xi-1eee"),
        Repeated("l", depth) + Repeated("e", depth),
        "l" + Repeated("0:", CBencodeStream::kMaxValueCount - 1) + "e"}) {
    const std::unique_ptr<CBencode> value = Decode(text);
    ASSERT_NE(value, nullptr) << text.substr(0, 40);
    EXPECT_EQ(Encode(*value), text);
    EXPECT_TRUE(value->Equals(*Decode(text)));
  }
  EXPECT_FALSE(Decode("li1ee")->Equals(*Decode("li2ee")) ||
               Decode("d1:ai1ee")->Equals(*Decode("d1:bi1ee")) ||
               Decode("le")->Equals(*Decode("de")));
  EXPECT_EQ(Encode(*Decode("d1:bi2e1:ai1ee")), "d1:ai1e1:bi2ee") << "keys put in order";
}

TEST(BencodeTest, RejectsMalformedInputWithItsMessage) {
  const int depth = CBencodeStream::kMaxNestingDepth + 1;
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"Illegal bencode string",
       {"524289:" + std::string(524289, 'x'), "-1:a", "4:abc", "3abc", ""}},
      {"Failed to read integer value",
       {"i123456789012345678901e", "i9223372036854775808e", "ie", "i+5e", "i5", "i5:", "i1x2e"}},
      {"Failed to internalize list item of type string", {"l"}},
      {"Failed to internalize list item of type list", {"lli1e"}},
      {"Failed to internalize list item of type dictionary", {"ldi1e"}},
      {"Failed to internalize list item of type integer", {"li1x"}},
      {"Failed to internalize key string", {"d1:ai1e1:ai2ee", "di1ei2ee"}},
      {"Failed to internalize value of type string", {"d1:a"}},
      {"Failed to internalize value of type integer", {"d1:ai1"}},
      {"Failed to internalize value of type list", {"d1:al"}},
      {"Failed to internalize value of type dictionary", {"d1:ad"}},
      {"Bencode nesting deeper than 64 levels",
       {Repeated("l", depth) + Repeated("e", depth), std::string(100000, 'l')}},
      {"Bencode text holds more than 65536 values",
       {"l" + Repeated("0:", CBencodeStream::kMaxValueCount) + "e"}},
  };
  for (const auto& [message, texts] : cases) {
    for (const std::string& text : texts) {
      orv::test::LogCapture log;
      EXPECT_EQ(Decode(text), nullptr) << text.substr(0, 40);
      EXPECT_TRUE(log.Contains(message)) << text.substr(0, 40) << " -> " << message;
    }
  }
}

TEST(BencodeTest, AccessChecksTypesBoundsAndOverflowWithItsMessages) {
  orv::test::LogCapture log;
  CBencode integer(std::int64_t{41});
  CBencode text(std::string("x"));
  std::int64_t number = 0;
  std::string bytes;
  EXPECT_FALSE(text.Get(number) || text.Set(std::int64_t{1}) || text.Add(1));
  EXPECT_FALSE(integer.Get(bytes) || integer.Set(std::string("y")));
  ASSERT_TRUE(integer.Add(1) && integer.Get(number) && text.Set(std::string("z")) &&
              text.Get(bytes));
  EXPECT_EQ(std::to_string(number) + bytes, "42z");
  ASSERT_TRUE(integer.Set(std::numeric_limits<std::int64_t>::max()));
  EXPECT_FALSE(integer.Add(1));
  ASSERT_TRUE(integer.Set(std::numeric_limits<std::int64_t>::min()));
  EXPECT_FALSE(integer.Add(-1));
  ASSERT_TRUE(integer.Get(number));
  EXPECT_EQ(number, std::numeric_limits<std::int64_t>::min()) << "unchanged after a refused Add";

  CBencodeList list;
  EXPECT_FALSE(list.Append(nullptr));
  ASSERT_TRUE(list.Append(std::make_unique<CBencode>(std::int64_t{1})));
  ASSERT_TRUE(list.Append(std::make_unique<CBencode>(std::string("two"))));
  EXPECT_TRUE(list[2] == nullptr && list.Remove(5) == nullptr && !list.Erase(2));
  EXPECT_EQ(list.Remove(0)->Type(), BencodeType::kInteger);
  EXPECT_EQ(list[0]->Type(), BencodeType::kString);
  EXPECT_TRUE(list.Erase(0));
  EXPECT_EQ(list.Size(), 0U);

  CBencodeDictionary dictionary;
  EXPECT_FALSE(dictionary.Insert("k", nullptr));
  ASSERT_TRUE(dictionary.Insert("list", std::make_unique<CBencodeList>()));
  ASSERT_TRUE(dictionary.Insert("dict", std::make_unique<CBencodeDictionary>()));
  EXPECT_TRUE(dictionary.GetList("list") != nullptr && dictionary.GetDictionary("dict") != nullptr);
  EXPECT_TRUE(dictionary.GetList("dict") == nullptr && dictionary.GetDictionary("list") == nullptr);
  EXPECT_EQ(dictionary.Get("missing"), nullptr);
  EXPECT_TRUE(dictionary.Erase("list"));
  EXPECT_FALSE(dictionary.Erase("list"));
  CBencodeStream bad;
  bad.MarkBad();
  EXPECT_FALSE(dictionary.Externalize(bad));
  EXPECT_EQ(dictionary.Flush(true), CBencodeDictionary::kNoStream);
  EXPECT_EQ(dictionary.Load(), CBencodeDictionary::kNoStream);
  for (const char* message :
       {"Bencode is not of type integer", "Bencode is not of type string",
        "Add function called for non-Integer bencode type",
        "Add operation will cause integer overflow", "NULL item stored in list",
        "Out-of-bound bencode list item access", "Dictionary item is NULL",
        "Dictionary item is not a list", "Dictionary item is not a dictionary",
        "Failed to externalize dictionary type identifier",
        "Bencode stream should be set before calling Externalize"}) {
    EXPECT_TRUE(log.Contains(message)) << message;
  }
}

TEST(BencodeFileTest, FileIsReplacedWholeAndReadBack) {
  const orv::test::TempDir temp;
  const fs::path base = temp.path() / "stats.tlw";
  const fs::path temporary = temp.path() / "stats.tlw.temp";
  CBencodeDictionary written(false);
  written.SetFile(base.wstring());
  written.SetInteger("a", 1);
  ASSERT_EQ(written.Flush(true), kObSuccess);
  EXPECT_EQ(ChildProcess::ReadAll(base), "d1:ai1ee");
  EXPECT_EQ(written.Size(), 1U) << "no temporary flag: items are kept";
  EXPECT_EQ(fs::status(base).permissions(), fs::perms(0644));
  EXPECT_EQ(std::distance(fs::directory_iterator(temp.path()), fs::directory_iterator()), 1)
      << "no leftover file of the replacement";

  // The temporary form reads stats.tlw.temp (its clearing after a write: usage statistics tests).
  CBencodeDictionary loaded(true);
  loaded.SetInteger("stale", 1);
  loaded.SetFile(base.wstring());
  ASSERT_EQ(loaded.Load(), kObSuccess);
  EXPECT_EQ(loaded.Size(), 0U);
  EXPECT_FALSE(fs::exists(temporary)) << "loading a missing file creates nothing";
  fs::copy_file(base, temporary);
  ASSERT_EQ(loaded.Load(), kObSuccess);
  EXPECT_TRUE(loaded.Equals(written));
  ASSERT_EQ(loaded.Flush(false), kObSuccess);
  EXPECT_EQ(loaded.Stream()->Text(), "d1:ai1ee");
}

TEST(BencodeFileTest, RejectsOversizedMalformedAndUnwritableFiles) {
  const orv::test::TempDir temp;
  const fs::path temporary = temp.path() / "stats.tlw.temp";
  const auto load_fails = [&](const std::string& message) {
    orv::test::LogCapture log;
    CBencodeDictionary dictionary(true);
    dictionary.SetFile((temp.path() / "stats.tlw").wstring());
    EXPECT_EQ(dictionary.Load(), kObFailure) << message;
    EXPECT_EQ(dictionary.Size(), 0U);
    EXPECT_TRUE(log.Contains(message)) << message;
  };
  for (const std::string text : {"d1:ai1ee trailing", "d1:ai1e", "li1ee"}) {
    std::ofstream(temporary, std::ios::binary) << text;
    load_fails("Bencode dictionary internalize failed");
  }
  fs::resize_file(temporary, CBencodeStream::kMaxFileSize + 1);
  load_fails("File size exceeds maximum limit");
  fs::remove(temporary);
  ASSERT_EQ(::mkfifo(temporary.c_str(), 0600), 0);
  load_fails("Unable to open file for reading");  // a FIFO, refused without blocking

  orv::test::LogCapture log;
  CBencodeDictionary dictionary(true);
  dictionary.SetFile((temp.path() / "missing" / "stats.tlw").wstring());
  EXPECT_EQ(dictionary.Flush(true), kObFailure);
  EXPECT_TRUE(log.Contains("Unable to open file for writing"));
}

}  // namespace
