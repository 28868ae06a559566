#include "config/expat_sax_parser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

// Records the calls as "<name", ">name" and "=text".
class RecordingObject : public IXmlObject {
 public:
  void StartElement(const std::wstring& name) override { calls.push_back(L"<" + name); }
  void EndElement(const std::wstring& name) override { calls.push_back(L">" + name); }
  void SetElementValue(const std::wstring& text) override { calls.push_back(L"=" + text); }

  std::vector<std::wstring> calls;
};

using Calls = std::vector<std::wstring>;

class ExpatSaxParserTest : public ::testing::Test {
 protected:
  OB_STATUSCODE Parse(std::string_view document) {
    const auto parser = CExpatSaxParser::Create(target_);
    return parser->ParseBuffer(document);
  }
  OB_STATUSCODE ParseFile(const std::filesystem::path& path) {
    const auto parser = CExpatSaxParser::Create(target_);
    return parser->startParser(path.wstring());
  }
  std::filesystem::path Write(const std::string& name, const std::string& content) {
    const auto path = dir_.path() / name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  RecordingObject target_;
  orv::test::TempDir dir_;
  orv::test::LogCapture log_;
};

TEST_F(ExpatSaxParserTest, DeliversEachTextRunWholeWithWhitespace) {
  ASSERT_EQ(Parse("<P>\n  <Pattern>R&amp;D</Pattern>\n  <V>a&#x41;\nb<![CDATA[<c>]]>d</V>"
                  "<E></E><F/></P>"),
            kObSuccess);
  EXPECT_EQ(target_.calls, (Calls{L"<P", L"=\n  ", L"<Pattern", L"=R&D", L">Pattern", L"=\n  ",
                                  L"<V", L"=aA\nb<c>d", L">V", L"<E", L">E", L"<F", L">F", L">P"}));
}

TEST_F(ExpatSaxParserTest, JoinsTextAcrossCommentsAndReadChunks) {
  std::string long_text(200000, 'x');
  long_text += "&lt;";
  const auto path = Write("p.xml", "<P><V>1<!-- note -->2</V><W>" + long_text + "</W></P>");
  ASSERT_EQ(ParseFile(path), kObSuccess);
  ASSERT_EQ(target_.calls.size(), 8u);
  EXPECT_EQ(target_.calls[2], L"=12");
  EXPECT_EQ(target_.calls[5].size(), 1 + 200000 + 1u);
  EXPECT_EQ(target_.calls[5].back(), L'<');
}

TEST_F(ExpatSaxParserTest, PassesLocalNamesAndUtf8Text) {
  ASSERT_EQ(Parse("<o:ORVProfile xmlns:o=\"urn:x\" xmlns=\"urn:y\"><o:Port>1</o:Port>"
                  "<Name a=\"1\">J\xC3\xBCrgen</Name></o:ORVProfile>"),
            kObSuccess);
  EXPECT_EQ(target_.calls, (Calls{L"<ORVProfile", L"<Port", L"=1", L">Port", L"<Name",
                                  L"=J\x00FCrgen", L">Name", L">ORVProfile"}));
}

TEST_F(ExpatSaxParserTest, MalformedDocumentsFailAfterWhatCameBefore) {
  for (const char* document : {"<P><V>1</V>", "<P><V>1</W></P>", "", "<P>&undefined;</P>",
                               "<a:P>unbound prefix</a:P>", "<P></P><Q/>", "\xFF\xFE<P/>"}) {
    SCOPED_TRACE(document);
    target_.calls.clear();
    EXPECT_EQ(Parse(document), kObFailure);
  }
  EXPECT_TRUE(log_.Contains("XML Parser fatal error"));
  target_.calls.clear();
  EXPECT_EQ(Parse("<P><V>1</V><broken"), kObFailure);
  EXPECT_EQ(target_.calls, (Calls{L"<P", L"<V", L"=1", L">V"}));
}

TEST_F(ExpatSaxParserTest, RefusesEntityDeclarationsAndNeverLoadsExternalFiles) {
  const auto secret = Write("secret.txt", "SECRET");
  const auto dtd = Write("evil.dtd", "<!ENTITY x SYSTEM \"file://" + secret.string() + "\">");
  EXPECT_EQ(Parse("<!DOCTYPE P [<!ENTITY x SYSTEM \"file://" + secret.string() + "\">]><P>&x;</P>"),
            kObFailure);
  EXPECT_TRUE(log_.Contains("entity declaration \"x\" refused"));
  EXPECT_EQ(Parse("<!DOCTYPE P [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;\">]>"
                  "<P>&b;&b;</P>"),
            kObFailure);
  target_.calls.clear();
  // An external subset is never read, so its entities stay unknown and are skipped.
  EXPECT_EQ(Parse("<!DOCTYPE P SYSTEM \"file://" + dtd.string() + "\"><P>a&x;b</P>"), kObSuccess);
  for (const auto& call : target_.calls) {
    EXPECT_EQ(call.find(L"SECRET"), std::wstring::npos);
  }
}

TEST_F(ExpatSaxParserTest, MissingAndNonRegularFilesFail) {
  EXPECT_EQ(ParseFile(dir_.path() / "missing.xml"), kObFailure);
  EXPECT_TRUE(
      log_.Has(LOG_ERROR, "CExpatSaxParser::startParser", "The ORV profile might not be present"));
  EXPECT_EQ(ParseFile(dir_.path()), kObFailure);  // a directory
  EXPECT_TRUE(log_.Contains("is not a regular file"));
}

TEST_F(ExpatSaxParserTest, UnreadableFileFails) {
  const auto path = Write("locked.xml", "<P/>");
  ::chmod(path.c_str(), 0);
  if (::access(path.c_str(), R_OK) == 0) {
    GTEST_SKIP() << "running with the privilege to read a mode-000 file";
  }
  EXPECT_EQ(ParseFile(path), kObFailure);
  EXPECT_TRUE(log_.Contains("Permission denied"));
}

TEST_F(ExpatSaxParserTest, RefusesDocumentsAboveTheSizeLimit) {
  const std::string big(CExpatSaxParser::kMaxProfileBytes + 1, ' ');
  EXPECT_EQ(Parse(big), kObFailure);
  const auto path = Write("big.xml", big);
  EXPECT_EQ(ParseFile(path), kObFailure);
  EXPECT_TRUE(target_.calls.empty());
}

TEST_F(ExpatSaxParserTest, DeepNestingIsParsedWithoutRecursion) {
  constexpr int kDepth = 50000;
  std::string document;
  for (int i = 0; i < kDepth; ++i) {
    document += "<N>";
  }
  for (int i = 0; i < kDepth; ++i) {
    document += "</N>";
  }
  ASSERT_EQ(Parse(document), kObSuccess);
  EXPECT_EQ(target_.calls.size(), 2u * kDepth);
}

}  // namespace
