// The profile's XML reader: expat, with namespace processing, feeding an IXmlObject.
//
// Element names are passed by their local name. Text is collected between tags and passed in one
// call when the next tag (start or end) arrives, so a value that expat reports in pieces (at line
// ends, entity and character references, CDATA boundaries) reaches the object whole; comments and
// processing instructions do not end a run. Whitespace is passed like any other text.
//
// Hardening: no external entity or external DTD subset is ever loaded, a document that declares
// entities is refused, expat's amplification limits stay on, and a file above kMaxProfileBytes is
// refused before parsing. A parser serves one parse on the calling thread.
#pragma once

#include <expat.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "common/status.h"
#include "config/xml_object.h"

class CExpatSaxParser {
 public:
  // Profiles are a few kilobytes; anything near this is not a profile.
  static constexpr std::size_t kMaxProfileBytes = std::size_t{16} * 1024 * 1024;

  // A parser feeding target (which must outlive it); null when expat cannot create one.
  [[nodiscard]] static std::unique_ptr<CExpatSaxParser> Create(IXmlObject& target);

  struct ParserDeleter {
    void operator()(XML_Parser parser) const noexcept { XML_ParserFree(parser); }
  };
  using ParserPtr = std::unique_ptr<XML_ParserStruct, ParserDeleter>;
  // Only Create can name this, so construction always goes through it.
  class CreateKey {
    friend class CExpatSaxParser;
    CreateKey() = default;
  };

  CExpatSaxParser(CreateKey key, IXmlObject& target, ParserPtr parser);
  CExpatSaxParser(const CExpatSaxParser&) = delete;
  CExpatSaxParser& operator=(const CExpatSaxParser&) = delete;
  ~CExpatSaxParser() = default;

  // Parses the file at path: 0 when the whole document was well-formed, -9999 when the file is
  // missing, unreadable, too large or malformed (what the target received before the error stays
  // with it). Call once.
  [[nodiscard]] OB_STATUSCODE startParser(const std::wstring& path);
  // As startParser, for a document held in memory.
  [[nodiscard]] OB_STATUSCODE ParseBuffer(std::string_view document);

 private:
  // Feeds one piece of the document; is_final marks the last. False after an error (logged).
  [[nodiscard]] bool Feed(std::string_view bytes, bool is_final);
  // Passes the text collected since the last tag, if any, to the target.
  void FlushText();

  static void XMLCALL OnStartElement(void* user, const XML_Char* name, const XML_Char** attributes);
  static void XMLCALL OnEndElement(void* user, const XML_Char* name);
  static void XMLCALL OnCharacters(void* user, const XML_Char* text, int length);
  static void XMLCALL OnEntityDeclaration(void* user, const XML_Char* name, int is_parameter,
                                          const XML_Char* value, int value_length,
                                          const XML_Char* base, const XML_Char* system_id,
                                          const XML_Char* public_id, const XML_Char* notation);

  IXmlObject& target_;
  ParserPtr parser_;
  std::string pending_text_;  // UTF-8 text since the last tag
  bool refused_ = false;      // the document was stopped by a handler (reason logged)
};
