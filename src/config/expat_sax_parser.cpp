#include "config/expat_sax_parser.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "runtime/logger.h"
#include "runtime/text.h"
#include "runtime/unique_fd.h"

namespace {

// Separates namespace URI and local name in the names expat reports. It cannot occur in a name,
// and the local name is what follows its last occurrence.
constexpr XML_Char kNamespaceSeparator = '\x01';
constexpr std::size_t kReadChunk = std::size_t{64} * 1024;
constexpr const char* kStartParser = "CExpatSaxParser::startParser";

std::wstring LocalName(const XML_Char* name) {
  std::string_view qualified(name);
  const std::size_t separator = qualified.rfind(kNamespaceSeparator);
  if (separator != std::string_view::npos) {
    qualified.remove_prefix(separator + 1);
  }
  return OBRuntime::Utf8ToWide(qualified);
}

void LogNotPresent() { OB_LOG_AS(LOG_ERROR, kStartParser, "The ORV profile might not be present"); }

}  // namespace

std::unique_ptr<CExpatSaxParser> CExpatSaxParser::Create(IXmlObject& target) {
  ParserPtr parser(XML_ParserCreateNS(nullptr, kNamespaceSeparator));
  if (!parser) {
    OB_LOG_ERROR("Couldn't initialize SAX Reader: XML_ParserCreateNS failed");
    return nullptr;
  }
  return std::make_unique<CExpatSaxParser>(CreateKey(), target, std::move(parser));
}

CExpatSaxParser::CExpatSaxParser(CreateKey /*key*/, IXmlObject& target, ParserPtr parser)
    : target_(target), parser_(std::move(parser)) {
  XML_Parser p = parser_.get();
  XML_SetUserData(p, this);
  XML_SetElementHandler(p, &OnStartElement, &OnEndElement);
  XML_SetCharacterDataHandler(p, &OnCharacters);
  XML_SetEntityDeclHandler(p, &OnEntityDeclaration);
  // Never read an external DTD subset or parameter entities; with no external entity handler
  // set, external general entities are never loaded either.
  XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_NEVER);
}

OB_STATUSCODE CExpatSaxParser::startParser(const std::wstring& path) {
  const std::string file = OBRuntime::WideToUtf8(path);
  // Non-blocking, so a FIFO or a device in the profile's place is refused below instead of hanging.
  const OBRuntime::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat info {};
  if (!fd.valid() || ::fstat(fd.get(), &info) != 0) {
    OB_LOG_ERROR("Cannot open %s: %s", file.c_str(), ErrnoText(errno).c_str());
    LogNotPresent();
    return kObFailure;
  }
  if (!S_ISREG(info.st_mode)) {
    OB_LOG_ERROR("%s is not a regular file", file.c_str());
    LogNotPresent();
    return kObFailure;
  }
  if (static_cast<std::uint64_t>(info.st_size) > kMaxProfileBytes) {
    OB_LOG_ERROR("%s holds %lld bytes, more than the %zu a profile may have", file.c_str(),
                 static_cast<long long>(info.st_size), kMaxProfileBytes);
    return kObFailure;
  }
  std::array<char, kReadChunk> chunk{};
  std::size_t total = 0;
  while (true) {
    const ssize_t got = ::read(fd.get(), chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      OB_LOG_ERROR("Cannot read %s: %s", file.c_str(), ErrnoText(errno).c_str());
      LogNotPresent();
      return kObFailure;
    }
    total += static_cast<std::size_t>(got);
    if (total > kMaxProfileBytes) {
      OB_LOG_ERROR("%s grew beyond the %zu bytes a profile may have", file.c_str(),
                   kMaxProfileBytes);
      return kObFailure;
    }
    const bool is_final = got == 0;
    if (!Feed(std::string_view(chunk.data(), static_cast<std::size_t>(got)), is_final)) {
      return kObFailure;
    }
    if (is_final) {
      return kObSuccess;
    }
  }
}

OB_STATUSCODE CExpatSaxParser::ParseBuffer(std::string_view document) {
  if (document.size() > kMaxProfileBytes) {
    OB_LOG_AS(LOG_ERROR, kStartParser, "Profile of %zu bytes is larger than the %zu allowed",
              document.size(), kMaxProfileBytes);
    return kObFailure;
  }
  return Feed(document, true) ? kObSuccess : kObFailure;
}

bool CExpatSaxParser::Feed(std::string_view bytes, bool is_final) {
  XML_Parser p = parser_.get();
  if (XML_Parse(p, bytes.data(), static_cast<int>(bytes.size()), is_final ? XML_TRUE : XML_FALSE) ==
      XML_STATUS_OK) {
    return true;
  }
  if (!refused_) {
    OB_LOG_AS(LOG_ERROR, kStartParser, "XML Parser fatal error: %s (line %lu, column %lu)",
              XML_ErrorString(XML_GetErrorCode(p)),
              static_cast<unsigned long>(XML_GetCurrentLineNumber(p)),
              static_cast<unsigned long>(XML_GetCurrentColumnNumber(p)));
  }
  return false;
}

void CExpatSaxParser::FlushText() {
  if (pending_text_.empty()) {
    return;
  }
  const std::wstring text = OBRuntime::Utf8ToWide(pending_text_);
  pending_text_.clear();
  target_.SetElementValue(text);
}

void XMLCALL CExpatSaxParser::OnStartElement(void* user, const XML_Char* name,
                                             const XML_Char** /*attributes*/) {
  auto* self = static_cast<CExpatSaxParser*>(user);
  self->FlushText();
  self->target_.StartElement(LocalName(name));
}

void XMLCALL CExpatSaxParser::OnEndElement(void* user, const XML_Char* name) {
  auto* self = static_cast<CExpatSaxParser*>(user);
  self->FlushText();
  self->target_.EndElement(LocalName(name));
}

void XMLCALL CExpatSaxParser::OnCharacters(void* user, const XML_Char* text, int length) {
  auto* self = static_cast<CExpatSaxParser*>(user);
  self->pending_text_.append(text, static_cast<std::size_t>(length));
}

void XMLCALL CExpatSaxParser::OnEntityDeclaration(void* user, const XML_Char* name,
                                                  int /*is_parameter*/, const XML_Char* /*value*/,
                                                  int /*value_length*/, const XML_Char* /*base*/,
                                                  const XML_Char* /*system_id*/,
                                                  const XML_Char* /*public_id*/,
                                                  const XML_Char* /*notation*/) {
  auto* self = static_cast<CExpatSaxParser*>(user);
  OB_LOG_AS(LOG_ERROR, kStartParser,
            "XML Parser fatal error: entity declaration \"%s\" refused (line %lu)", name,
            static_cast<unsigned long>(XML_GetCurrentLineNumber(self->parser_.get())));
  self->refused_ = true;
  XML_StopParser(self->parser_.get(), XML_FALSE);
}
