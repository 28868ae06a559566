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
  // Parses the document from a buffer, or written to a file and read from there.
  OB_STATUSCODE Parse(const std::string& document, bool from_file = false) {
    target_.calls.clear();
    const auto parser = CExpatSaxParser::Create(target_);
    if (!from_file) return parser->ParseBuffer(document);
    std::ofstream(dir_.path() / "p.xml", std::ios::binary) << document;
    return parser->startParser((dir_.path() / "p.xml").wstring());
  }

  RecordingObject target_;
  orv::test::TempDir dir_;
  orv::test::LogCapture log_;
};

// Each text run reaches the object whole: entities, character references, CDATA and comments
// do not split it, and namespaces leave the local names.
TEST_F(ExpatSaxParserTest, DeliversLocalNamesAndEachTextRunWholeUntilTheDocumentBreaks) {
  ASSERT_EQ(Parse("<o:P xmlns:o=\"urn:x\">\n <o:Pattern>R&amp;D</o:Pattern><V>a&#x41;\nb"
                  "<![CDATA[<c>]]>d<!-- note -->e</V><N a=\"1\">J\xC3\xBCrgen</N><F/></o:P>"),
            kObSuccess);
  EXPECT_EQ(target_.calls,
            (Calls{L"<P", L"=\n ", L"<Pattern", L"=R&D", L">Pattern", L"<V", L"=aA\nb<c>de", L">V",
                   L"<N", L"=J\x00FCrgen", L">N", L"<F", L">F", L">P"}));
  // A file is read in chunks; a run across them still arrives as one.
  ASSERT_EQ(Parse("<P><W>" + std::string(200000, 'x') + "&lt;</W></P>", true), kObSuccess);
  ASSERT_EQ(target_.calls.size(), 5u);
  EXPECT_EQ(target_.calls[2], L"=" + std::wstring(200000, L'x') + L"<");
  // A malformed document fails after what came before.
  EXPECT_EQ(Parse("<P><V>1</V><broken"), kObFailure);
  EXPECT_EQ(target_.calls, (Calls{L"<P", L"<V", L"=1", L">V"}));
  EXPECT_TRUE(log_.Contains("XML Parser fatal error"));
}

TEST_F(ExpatSaxParserTest,
       RefusesEntityDeclarationsMissingNonRegularAndOversizedInputAndNeverLoadsExternalFiles) {
  const auto secret = dir_.path() / "secret.txt";
  std::ofstream(secret) << "SECRET";
  EXPECT_EQ(Parse("<!DOCTYPE P [<!ENTITY x SYSTEM \"file://" + secret.string() + "\">]><P>&x;</P>"),
            kObFailure);
  // An external subset is never read, so its entities stay unknown and are skipped.
  const auto dtd = dir_.path() / "evil.dtd";
  std::ofstream(dtd) << "<!ENTITY x SYSTEM \"file://" + secret.string() + "\">";
  EXPECT_EQ(Parse("<!DOCTYPE P SYSTEM \"file://" + dtd.string() + "\"><P>a&x;b</P>"), kObSuccess);
  EXPECT_EQ(target_.calls, (Calls{L"<P", L"=ab", L">P"}));
  // Missing, non-regular (a FIFO, refused without blocking on it) and oversized input.
  const auto path = dir_.path() / "p.xml";
  EXPECT_EQ(CExpatSaxParser::Create(target_)->startParser(path.wstring()), kObFailure);
  EXPECT_TRUE(
      log_.Has(LOG_ERROR, "CExpatSaxParser::startParser", "The ORV profile might not be present"));
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(CExpatSaxParser::Create(target_)->startParser(path.wstring()), kObFailure);
  std::filesystem::remove(path);
  const std::string big(CExpatSaxParser::kMaxProfileBytes + 1, ' ');
  EXPECT_EQ(Parse(big), kObFailure);
  EXPECT_EQ(Parse(big, true), kObFailure);
  EXPECT_TRUE(target_.calls.empty());
}

}  // namespace
