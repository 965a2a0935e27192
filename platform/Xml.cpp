#include "platform/Xml.h"

#include "platform/Exception.h"

std::unique_ptr<pugi::xml_document> CreateXmlDocument(const QString& text,
                                                      const QString& encoding) {
  QString source = text;
  if (source.trimmed().isEmpty()) source = QStringLiteral("<root/>");
  if (!source.startsWith(QLatin1String("<?xml")))
    source = QStringLiteral("<?xml version=\"1.0\" encoding=\"%1\"?>\r\n").arg(encoding) + source;
  // The text is already decoded, so the declared encoding is informative only:
  // the parser reads our UTF-8 copy whatever the declaration says.
  const QByteArray utf8 = source.toUtf8();
  auto doc = std::make_unique<pugi::xml_document>();
  const pugi::xml_parse_result r =
      doc->load_buffer(utf8.constData(), size_t(utf8.size()),
                       pugi::parse_default | pugi::parse_declaration, pugi::encoding_utf8);
  if (!r)
    throw Exception(QStringLiteral("XML parse error: %1 (offset %2).")
                        .arg(QString::fromUtf8(r.description()))
                        .arg(qlonglong(r.offset)));
  return doc;
}
