// The receiving side of the profile reader: what a SAX-style parse of the service profile calls.
//
// The reader builds nothing in memory; the object keeps whatever state it needs. Calls come in
// document order on the parsing thread. Names are local names (namespace and prefix removed);
// each run of text between two tags arrives whole, whitespace included, in one SetElementValue.
#pragma once

#include <string>

class IXmlObject {
 public:
  virtual ~IXmlObject() = default;
  // An element with this local name opens.
  virtual void StartElement(const std::wstring& name) = 0;
  // An element with this local name closes.
  virtual void EndElement(const std::wstring& name) = 0;
  // The text that runs from the last tag up to the next one; never empty.
  virtual void SetElementValue(const std::wstring& text) = 0;
};
