#include "NativeAppcast.h"

#include <QXmlStreamReader>

#include <stdexcept>

namespace {

// The version comes from the enclosure's attribute or from a <sparkle:version> element of the item.
struct ItemReader {
    QVersionNumber version;
    QUrl url;
    qint64 length = 0;
    QByteArray signature;

    void readEnclosure(const QXmlStreamAttributes &attributes) {
        const QString sparkle = QString::fromLatin1(NativeAppcast::sparkleNamespace);
        url = QUrl(attributes.value(QStringLiteral("url")).toString(), QUrl::StrictMode);
        bool ok = false;
        length = attributes.value(QStringLiteral("length")).toLongLong(&ok);
        if (!ok)
            length = 0;
        signature = attributes.value(sparkle, QStringLiteral("edSignature")).toLatin1();
        if (attributes.hasAttribute(sparkle, QStringLiteral("version")))
            version = QVersionNumber::fromString(attributes.value(sparkle, QStringLiteral("version")));
    }

    std::optional<NativeAppcast::Item> item() const {
        if (version.isNull() || !url.isValid() || url.isRelative() || length <= 0 || signature.isEmpty())
            return std::nullopt;
        return NativeAppcast::Item{version, url, length, signature};
    }
};

} // namespace

std::optional<NativeAppcast::Item> NativeAppcast::newest(const QByteArray &document) {
    const QString sparkle = QString::fromLatin1(sparkleNamespace);
    QXmlStreamReader xml(document);
    std::optional<Item> best;
    std::optional<ItemReader> current;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            if (xml.name() == u"item" && xml.namespaceUri().isEmpty()) {
                current.emplace();
            } else if (current && xml.name() == u"enclosure" && xml.namespaceUri().isEmpty()) {
                current->readEnclosure(xml.attributes());
            } else if (current && xml.name() == u"version" && xml.namespaceUri() == sparkle) {
                current->version = QVersionNumber::fromString(xml.readElementText().trimmed());
            }
        } else if (xml.isEndElement() && xml.name() == u"item" && current) {
            const auto item = current->item();
            if (item && (!best || best->version < item->version))
                best = item;
            current.reset();
        }
    }
    if (xml.hasError())
        throw std::runtime_error("The update feed is not valid XML (" + xml.errorString().toStdString() +
                                 ").");
    return best;
}
