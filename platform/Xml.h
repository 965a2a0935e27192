#pragma once
// XML documents from text, over pugixml.

#include <QString>
#include <memory>
#include <pugixml.hpp>

// Parses text into a document the caller owns. Blank text stands for
// "<root/>"; text that does not begin with "<?xml" gets a declaration naming
// the encoding in front. Text that is not well-formed raises Exception with
// the parser's error. Missing children read as empty nodes (pugixml's null
// nodes), so lookups of absent elements are safe.
std::unique_ptr<pugi::xml_document> CreateXmlDocument(
    const QString& text, const QString& encoding = QStringLiteral("windows-1251"));

namespace plat {
// Text of an element or attribute value as QString (pugixml holds UTF-8).
inline QString xmlText(const char* utf8) {
  return QString::fromUtf8(utf8);
}
}  // namespace plat
