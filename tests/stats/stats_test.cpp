// Bencode values and files, and the usage statistics kept in one.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

#include "stats/bencode.h"
#include "stats/usage_statistics.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using orv::test::ChildProcess;
using namespace std::string_literals;
using std::chrono::minutes;
using std::chrono::seconds;

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

TEST(BencodeFileTest, FileIsReplacedWholeAndRefusedWhenMalformedOrOversized) {
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

  // Malformed, oversized, unreadable and unwritable files.
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
  fs::create_directory(temp.path() / "held.temp");  // the file's place is taken
  dictionary.SetFile((temp.path() / "held").wstring());
  EXPECT_EQ(dictionary.Flush(true), kObFailure);
  EXPECT_EQ(std::distance(fs::directory_iterator(temp.path()), fs::directory_iterator()), 3)
      << "the replacement written aside is removed";
}

std::string Statistics(int db_size, int flows_per_day) {
  return "d11:DbFile Sizei" + std::to_string(db_size) + "e7:Enabledi1e13:Flows per dayi" +
         std::to_string(flows_per_day) + "ee";
}

class UsageStatisticsTest : public ::testing::Test {
 protected:
  void SetUp() override { SetDatabaseSize(2048); }
  void SetDatabaseSize(std::uintmax_t size) {
    std::ofstream(database_, std::ios::binary).close();
    fs::resize_file(database_, size);
  }
  // Counts flows count times at the current time plus step; every call must succeed.
  void Flows(int count, seconds step = {}) {
    now_ += step;
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(statistics_.CollectAndReport(database_.wstring()), kObSuccess);
    }
  }
  std::string File() const { return orv::test::ChildProcess::ReadAll(file_); }

  orv::test::TempDir temp_;
  fs::path module_data_ = temp_.path() / "Varno" / "Varno Ombrix Suite" / "Tellwick" / "moduledata";
  fs::path file_ = module_data_ / "ORVPhoneHome.tlw.temp";
  fs::path database_ = temp_.path() / "ORV.db";
  seconds now_{1000000};
  CUsageStatistics statistics_{[this] { return now_; },
                               [this](std::wstring& path) {
                                 path = temp_.path().wstring();
                                 return true;
                               }};
};

TEST_F(UsageStatisticsTest, TakesOverSizeEvery15MinutesAndFlowsEveryDay) {
  Flows(10, minutes(15) - seconds(1));
  EXPECT_FALSE(fs::exists(module_data_)) << "no file I/O before a period elapsed";
  Flows(1, seconds(1));
  EXPECT_EQ(File(), Statistics(2048, 0));
  EXPECT_EQ(fs::status(module_data_).permissions(), fs::perms(0755));
  EXPECT_EQ(statistics_.Size(), 0U) << "the write created the file";

  // Between take-overs nothing is written, even though the size changed; what is written is the
  // figure taken over at that moment, not the previous period's.
  SetDatabaseSize(4096);
  Flows(100, minutes(14));
  EXPECT_EQ(File(), Statistics(2048, 0));
  Flows(1, minutes(1));
  EXPECT_EQ(File(), Statistics(4096, 0));
  EXPECT_EQ(statistics_.Size(), 3U) << "the file was there: the items stay";

  // The day period began at construction: 10 + 1 + 100 + 1 flows so far. The feedback module has
  // sent and removed the file meanwhile, and the database is gone.
  fs::remove(file_);
  fs::remove(database_);
  Flows(417, seconds(1000000) + minutes(1440) - seconds(1) - now_);
  EXPECT_EQ(statistics_.FlowCounter(), 529U);
  EXPECT_EQ(File(), Statistics(0, 0)) << "recreated when the size was due";
  EXPECT_EQ(statistics_.Size(), 0U);
  Flows(1, seconds(1));
  EXPECT_EQ(File(), Statistics(0, 530));
  EXPECT_EQ(statistics_.FlowCounter(), 0U) << "the counter restarts with the new day";
}

TEST_F(UsageStatisticsTest, KeepsForeignEntriesAndReplacesHostileFiles) {
  fs::create_directories(module_data_);
  std::ofstream(file_, std::ios::binary) << "d5:Extrai7e7:Enabledi0ee";
  Flows(1, minutes(15));
  EXPECT_EQ(File(), "d11:DbFile Sizei2048e7:Enabledi1e5:Extrai7e13:Flows per dayi0ee");
  std::ofstream(file_, std::ios::binary) << "d1:k" << std::string(100000, 'l');
  Flows(1, minutes(15));
  EXPECT_EQ(File(), Statistics(2048, 0));

  // A file where the directory belongs: logged, and the agent goes on.
  orv::test::LogCapture log;
  fs::remove_all(module_data_);
  std::ofstream(module_data_) << "not a directory";
  Flows(1, minutes(15));
  EXPECT_TRUE(log.Contains("Cannot create"));
}

TEST_F(UsageStatisticsTest, WithoutAPathTheFailureIsLoggedOncePerPeriod) {
  orv::test::LogCapture log;
  CUsageStatistics statistics([this] { return now_; }, [](std::wstring&) { return false; });
  EXPECT_EQ(statistics.CollectAndReport(database_.wstring()), kObSuccess);
  now_ += minutes(15);
  EXPECT_EQ(statistics.CollectAndReport(database_.wstring()), kObFailure);
  EXPECT_TRUE(log.Has(LOG_ERROR, "CUsageStatistics::writeFile", "Failed to get bencode file"));
  EXPECT_EQ(statistics.CollectAndReport(database_.wstring()), kObSuccess) << "no retry per flow";
  EXPECT_EQ(statistics.ReportedDbSize(), 2048U);

  // The default sources: the system clock and the all-users profile.
  CUsageStatistics real;
  EXPECT_EQ(real.CollectAndReport(database_.wstring()), kObSuccess);
  EXPECT_EQ(real.FlowCounter(), 1U);
}

}  // namespace
