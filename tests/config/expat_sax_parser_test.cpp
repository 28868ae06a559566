#include "config/expat_sax_parser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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
    target_.calls.clear();
    return CExpatSaxParser::Create(target_)->ParseBuffer(document);
  }
  OB_STATUSCODE ParseFile(const std::filesystem::path& path) {
    return CExpatSaxParser::Create(target_)->startParser(path.wstring());
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

// Each text run reaches the object whole: entities, character references, CDATA and comments
// do not split it, and namespaces leave the local names.
TEST_F(ExpatSaxParserTest, DeliversLocalNamesAndEachTextRunWhole) {
  ASSERT_EQ(Parse("<o:P xmlns:o=\"urn:x\">\n <o:Pattern>R&amp;D</o:Pattern><V>a&#x41;\nb"
                  "<![CDATA[<c>]]>d<!-- note -->e</V><N a=\"1\">J\xC3\xBCrgen</N><F/></o:P>"),
            kObSuccess);
  EXPECT_EQ(target_.calls,
            (Calls{L"<P", L"=\n ", L"<Pattern", L"=R&D", L">Pattern", L"<V", L"=aA\nb<c>de", L">V",
                   L"<N", L"=J\x00FCrgen", L">N", L"<F", L">F", L">P"}));
  // A file is read in chunks; a run across them still arrives as one.
  std::string long_text(200000, 'x');
  const auto path = Write("p.xml", "<P><W>" + long_text + "&lt;</W></P>");
  target_.calls.clear();
  ASSERT_EQ(ParseFile(path), kObSuccess);
  ASSERT_EQ(target_.calls.size(), 5u);
  EXPECT_EQ(target_.calls[2], L"=" + std::wstring(200000, L'x') + L"<");
}

TEST_F(ExpatSaxParserTest, AMalformedDocumentFailsAfterWhatCameBefore) {
  EXPECT_EQ(Parse("<P><V>1</V><broken"), kObFailure);
  EXPECT_EQ(target_.calls, (Calls{L"<P", L"<V", L"=1", L">V"}));
  EXPECT_TRUE(log_.Contains("XML Parser fatal error"));
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
  // An external subset is never read, so its entities stay unknown and are skipped.
  EXPECT_EQ(Parse("<!DOCTYPE P SYSTEM \"file://" + dtd.string() + "\"><P>a&x;b</P>"), kObSuccess);
  for (const auto& call : target_.calls) {
    EXPECT_EQ(call.find(L"SECRET"), std::wstring::npos);
  }
}

// A FIFO in the profile's place is refused without blocking on it.
TEST_F(ExpatSaxParserTest, RefusesMissingNonRegularAndOversizedInput) {
  EXPECT_EQ(ParseFile(dir_.path() / "missing.xml"), kObFailure);
  EXPECT_TRUE(
      log_.Has(LOG_ERROR, "CExpatSaxParser::startParser", "The ORV profile might not be present"));
  const auto fifo = dir_.path() / "fifo.xml";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(ParseFile(fifo), kObFailure);
  EXPECT_TRUE(log_.Contains("is not a regular file"));
  const std::string big(CExpatSaxParser::kMaxProfileBytes + 1, ' ');
  EXPECT_EQ(Parse(big), kObFailure);
  EXPECT_EQ(ParseFile(Write("big.xml", big)), kObFailure);
  EXPECT_TRUE(target_.calls.empty());
}

}  // namespace
