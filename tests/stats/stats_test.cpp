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

TEST(BencodeTest, EncodesInKeyOrderRoundTripsUpToTheLimitsAndRejectsMalformedInput) {
  CBencodeDictionary dictionary;
  dictionary.SetInteger("b", std::numeric_limits<std::int64_t>::min());
  dictionary.SetInteger("a", 1);
  ASSERT_TRUE(dictionary.Insert("\xff", std::make_unique<CBencode>(std::string("h\0i", 3))));
  EXPECT_EQ(Encode(dictionary),
            "d1:ai1e1:bi-9223372036854775808e1:\xff"
            "3:h\0ie"s)
      << "keys in ascending byte order";
  EXPECT_EQ(dictionary.Keys(), (std::vector<std::string>{"a", "b", "\xff"}));

  // The most values a text may hold, in one list, and the deepest nesting allowed.
  std::string values = "l";
  for (std::size_t i = 1; i < CBencodeStream::kMaxValueCount; ++i) values += "0:";
  const int depth = CBencodeStream::kMaxNestingDepth;
  const std::string deep = std::string(depth, 'l') + std::string(depth, 'e');
  for (const std::string& text : {std::string("l0:i9223372036854775807el3:abcdeee"),
                                  std::string("d4:dictd1:xi-1eee"), deep, values + "e"}) {
    const std::unique_ptr<CBencode> value = Decode(text);
    ASSERT_NE(value, nullptr) << text.substr(0, 40);
    EXPECT_EQ(Encode(*value), text);
    EXPECT_TRUE(value->Equals(*Decode(text)));
  }
  EXPECT_FALSE(Decode("li1ee")->Equals(*Decode("li2ee")) ||
               Decode("d1:ai1ee")->Equals(*Decode("d1:bi1ee")) ||
               Decode("le")->Equals(*Decode("de")));
  EXPECT_EQ(Encode(*Decode("d1:bi2e1:ai1ee")), "d1:ai1e1:bi2ee") << "keys put in order";

  const std::pair<std::string, std::vector<std::string>> malformed[] = {
      {"Illegal bencode string",
       {"524289:" + std::string(524289, 'x'), "-1:a", "4:abc", "3abc", ""}},
      {"Failed to read integer value",
       {"i123456789012345678901e", "i9223372036854775808e", "ie", "i+5e", "i5", "i5:", "i1x2e"}},
      {"Failed to internalize list item of type string", {"l"}},
      {"Failed to internalize list item of type dictionary", {"ldi1e"}},
      {"Failed to internalize list item of type integer", {"li1x"}},
      {"Failed to internalize key string", {"d1:ai1e1:ai2ee", "di1ei2ee"}},
      {"Failed to internalize value of type list", {"d1:al"}},
      {"Bencode nesting deeper than 64 levels", {"l" + deep + "e", std::string(100000, 'l')}},
      {"Bencode text holds more than 65536 values", {values + "0:e"}},
  };
  for (const auto& [message, texts] : malformed) {
    for (const std::string& text : texts) {
      orv::test::LogCapture log;
      EXPECT_TRUE(Decode(text) == nullptr && log.Contains(message)) << text.substr(0, 40);
    }
  }
}

TEST(BencodeTest, AccessChecksTypesBoundsAndOverflowAndFilesAreReplacedWholeOrRefused) {
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
  EXPECT_TRUE(integer.Set(std::numeric_limits<std::int64_t>::max()) && !integer.Add(1));
  EXPECT_TRUE(integer.Set(std::numeric_limits<std::int64_t>::min()) && !integer.Add(-1));
  EXPECT_TRUE(integer.Get(number) && number == std::numeric_limits<std::int64_t>::min())
      << "unchanged after a refused Add";

  CBencodeList list;
  ASSERT_TRUE(!list.Append(nullptr) && list.Append(std::make_unique<CBencode>(std::int64_t{1})) &&
              list.Append(std::make_unique<CBencode>(std::string("two"))));
  EXPECT_TRUE(list[2] == nullptr && list.Remove(5) == nullptr && !list.Erase(2));
  EXPECT_EQ(list.Remove(0)->Type(), BencodeType::kInteger);
  EXPECT_TRUE(list[0]->Type() == BencodeType::kString && list.Erase(0) && list.Size() == 0);

  CBencodeDictionary dictionary(true);
  EXPECT_FALSE(dictionary.Insert("k", nullptr));
  ASSERT_TRUE(dictionary.Insert("list", std::make_unique<CBencodeList>()));
  ASSERT_TRUE(dictionary.Insert("dict", std::make_unique<CBencodeDictionary>()));
  EXPECT_TRUE(dictionary.GetList("list") != nullptr && dictionary.GetDictionary("dict") != nullptr);
  EXPECT_TRUE(dictionary.GetList("dict") == nullptr && dictionary.GetDictionary("list") == nullptr);
  EXPECT_TRUE(dictionary.Get("missing") == nullptr && dictionary.Erase("list") &&
              !dictionary.Erase("list"));
  CBencodeStream bad;
  bad.MarkBad();
  EXPECT_FALSE(dictionary.Externalize(bad));
  EXPECT_EQ(dictionary.Flush(true), CBencodeDictionary::kNoStream);
  EXPECT_EQ(dictionary.Load(), CBencodeDictionary::kNoStream);

  // A file without the temporary flag: written whole, items kept, no leftover replacement.
  const orv::test::TempDir temp;
  const fs::path temporary = temp.path() / "stats.tlw.temp";
  const auto files = [&] { return std::distance(fs::directory_iterator(temp.path()), {}); };
  CBencodeDictionary written(false);
  written.SetFile((temp.path() / "stats.tlw").wstring());
  written.SetInteger("a", 1);
  ASSERT_EQ(written.Flush(true), kObSuccess);
  EXPECT_EQ(orv::test::ChildProcess::ReadAll(temp.path() / "stats.tlw"), "d1:ai1ee");
  EXPECT_EQ(fs::status(temp.path() / "stats.tlw").permissions(), fs::perms(0644));
  EXPECT_TRUE(written.Size() == 1 && files() == 1);

  // Malformed, oversized, unreadable (a FIFO, refused without blocking) and unwritable files.
  dictionary.SetFile((temp.path() / "stats.tlw").wstring());
  for (const std::string content : {"d1:ai1ee trailing", "d1:ai1e", "li1ee"}) {
    std::ofstream(temporary, std::ios::binary) << content;
    EXPECT_TRUE(dictionary.Load() == kObFailure && dictionary.Size() == 0) << content;
  }
  fs::resize_file(temporary, CBencodeStream::kMaxFileSize + 1);
  EXPECT_EQ(dictionary.Load(), kObFailure);
  fs::remove(temporary);
  ASSERT_EQ(::mkfifo(temporary.c_str(), 0600), 0);
  EXPECT_EQ(dictionary.Load(), kObFailure);
  dictionary.SetFile((temp.path() / "missing" / "stats.tlw").wstring());
  EXPECT_EQ(dictionary.Flush(true), kObFailure);
  fs::create_directory(temp.path() / "held.temp");  // the file's place is taken
  dictionary.SetFile((temp.path() / "held").wstring());
  EXPECT_EQ(dictionary.Flush(true), kObFailure);
  EXPECT_EQ(files(), 3) << "the replacement written aside is removed";
  for (const char* message :
       {"Bencode is not of type integer", "Bencode is not of type string",
        "Add function called for non-Integer bencode type",
        "Add operation will cause integer overflow", "NULL item stored in list",
        "Out-of-bound bencode list item access", "Dictionary item is NULL",
        "Dictionary item is not a list", "Dictionary item is not a dictionary",
        "Failed to externalize dictionary type identifier",
        "Bencode stream should be set before calling Externalize",
        "Bencode dictionary internalize failed", "File size exceeds maximum limit",
        "Unable to open file for reading", "Unable to open file for writing"}) {
    EXPECT_TRUE(log.Contains(message)) << message;
  }
}

TEST(UsageStatisticsTest, TakesOverSizeEvery15MinutesAndFlowsEveryDayKeepingForeignEntries) {
  const orv::test::TempDir temp;
  const fs::path module_data =
      temp.path() / "Varno" / "Varno Ombrix Suite" / "Tellwick" / "moduledata";
  const fs::path file = module_data / "ORVPhoneHome.tlw.temp";
  const fs::path database = temp.path() / "ORV.db";
  std::ofstream(database) << std::string(2048, 'x');
  seconds now{1000000};
  const auto all_users = [&](std::wstring& path) {
    path = temp.path().wstring();
    return true;
  };
  CUsageStatistics statistics([&] { return now; }, all_users);
  // Counts count flows at the current time plus step; every call must succeed.
  const auto flows = [&](int count, seconds step) {
    now += step;
    for (int i = 0; i < count; ++i)
      ASSERT_EQ(statistics.CollectAndReport(database.wstring()), kObSuccess);
  };
  const auto written = [&] { return orv::test::ChildProcess::ReadAll(file); };
  flows(10, minutes(15) - seconds(1));
  EXPECT_FALSE(fs::exists(module_data)) << "no file I/O before a period elapsed";
  flows(1, seconds(1));
  EXPECT_EQ(written(), "d11:DbFile Sizei2048e7:Enabledi1e13:Flows per dayi0ee");
  EXPECT_EQ(fs::status(module_data).permissions(), fs::perms(0755));
  EXPECT_EQ(statistics.Size(), 0U) << "the write created the file";

  // Between take-overs nothing is written, even though the size changed; what is written is the
  // figure taken over at that moment, not the previous period's.
  std::ofstream(database) << std::string(4096, 'x');
  flows(100, minutes(14));
  EXPECT_EQ(written(), "d11:DbFile Sizei2048e7:Enabledi1e13:Flows per dayi0ee");
  flows(1, minutes(1));
  EXPECT_EQ(written(), "d11:DbFile Sizei4096e7:Enabledi1e13:Flows per dayi0ee");
  EXPECT_EQ(statistics.Size(), 3U) << "the file was there: the items stay";

  // Without a path the failure is reported once per period, not retried per flow.
  orv::test::LogCapture log;
  CUsageStatistics lost([&] { return now; }, [](std::wstring&) { return false; });
  now += minutes(15);
  EXPECT_EQ(lost.CollectAndReport(database.wstring()), kObFailure);
  EXPECT_TRUE(log.Has(LOG_ERROR, "CUsageStatistics::writeFile", "Failed to get bencode file"));
  EXPECT_EQ(lost.CollectAndReport(database.wstring()), kObSuccess);
  EXPECT_EQ(lost.ReportedDbSize(), 4096U);

  // The day period began at construction: 10 + 1 + 100 + 1 flows so far. The feedback module has
  // sent and removed the file meanwhile, and the database is gone.
  fs::remove(file);
  fs::remove(database);
  flows(417, seconds(1000000) + minutes(1440) - seconds(1) - now);
  EXPECT_EQ(statistics.FlowCounter(), 529U);
  EXPECT_EQ(written(), "d11:DbFile Sizei0e7:Enabledi1e13:Flows per dayi0ee")
      << "recreated when the size was due";
  flows(1, seconds(1));
  EXPECT_EQ(written(), "d11:DbFile Sizei0e7:Enabledi1e13:Flows per dayi530ee");
  EXPECT_EQ(statistics.FlowCounter(), 0U) << "the counter restarts with the new day";

  // Entries of others are kept; a hostile file is replaced; a file where the directory belongs
  // leaves the agent going on.
  std::ofstream(file, std::ios::binary) << "d5:Extrai7e7:Enabledi0ee";
  flows(1, minutes(15));
  EXPECT_EQ(written(), "d11:DbFile Sizei0e7:Enabledi1e5:Extrai7e13:Flows per dayi530ee");
  std::ofstream(file, std::ios::binary) << "d1:k" << std::string(100000, 'l');
  flows(1, minutes(15));
  EXPECT_EQ(written(), "d11:DbFile Sizei0e7:Enabledi1e13:Flows per dayi530ee");
  fs::remove_all(module_data);
  std::ofstream(module_data) << "not a directory";
  flows(1, minutes(15));
}

}  // namespace
