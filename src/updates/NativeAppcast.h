#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QVersionNumber>

#include <optional>

// An RSS update feed ("appcast"): each item offers one version through an enclosure with its
// download address, length in bytes and the Ed25519 signature of the download.
//
//     <item>
//       <sparkle:version>1.2.0</sparkle:version>
//       <enclosure url="https://..." length="123" sparkle:edSignature="base64" type="..."/>
//     </item>
class NativeAppcast {
public:
    struct Item {
        QVersionNumber version;
        QUrl url;
        qint64 length = 0;
        QByteArray signature; // as written in the feed (Base64)
    };

    static constexpr auto sparkleNamespace = "http://www.andymatuschak.org/xml-namespaces/sparkle";

    // The newest complete item, or nothing when the feed has none. Items that lack a version, an
    // address, a positive length or a signature are passed over. Throws std::runtime_error with a
    // message for people when the document is not well-formed XML.
    static std::optional<Item> newest(const QByteArray &document);
};
