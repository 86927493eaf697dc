#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>

#include <optional>

// Cuts the bytes of an event stream into lines of text. CR, LF and CR LF each end one line (CR CR is
// two line ends); line ends count toward neither limit. A line may hold at most `lineLimit` bytes and
// an event (the lines since the last empty line) at most `eventLimit` bytes, so a peer that never
// ends a line or an event is cut off instead of growing memory without bound. A byte-order mark is
// dropped from the first line only.
//
// Both forms of append give exactly the results of feeding the bytes one at a time; the chunk form
// only does it faster. Failures throw NativeClientError:
// "The live update is too large. Reconnect to refresh it." past a limit,
// "The live connection returned invalid text." for a line that is not UTF-8.
class NativeStreamLines {
public:
    static constexpr qsizetype defaultLineLimit = 262'144;
    static constexpr qsizetype defaultEventLimit = 1'048'576;

    explicit NativeStreamLines(qsizetype lineLimit = defaultLineLimit,
                               qsizetype eventLimit = defaultEventLimit);

    // One byte: the completed line (possibly empty), or nothing while the line is still open.
    std::optional<QString> append(char byte);
    // Consumes `input` from the front up to and including the first byte that completes a line, and
    // returns that line; consumes all of it and returns nothing when no line completes.
    std::optional<QString> append(QByteArrayView &input);

private:
    QString finishLine(QByteArrayView bytes);

    QByteArray m_buffer;
    qsizetype m_eventBytes = 0;
    bool m_afterCR = false;
    bool m_firstLine = true;
    QStringDecoder m_decoder{QStringDecoder::Utf8,
                             QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom};
    qsizetype m_lineLimit;
    qsizetype m_eventLimit;
};
