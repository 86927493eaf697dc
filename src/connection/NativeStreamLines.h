#pragma once

#include "connection/Utf8LineScan.h"

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

// Cuts the bytes of an event stream into lines of UTF-8 text. CR, LF and CR LF each end one line (CR CR is
// two line ends); line ends count toward neither limit. A line may hold at most `lineLimit` bytes and
// an event (the lines since the last empty line) at most `eventLimit` bytes, so a peer that never
// ends a line or an event is cut off instead of growing memory without bound. A byte-order mark is
// dropped from the first line only.
//
// Both forms of append give exactly the results of feeding the bytes one at a time; the chunk form
// only does it faster. A line is handed out as a view of its bytes, valid until the next append: it
// points into the caller's input when the line lies whole within it, so most lines are never copied.
// Failures throw NativeClientError:
// "The live update is too large. Reconnect to refresh it." past a limit,
// "The live connection returned invalid text." for a line that is not UTF-8.
class NativeStreamLines {
public:
    static constexpr qsizetype defaultLineLimit = 262'144;
    static constexpr qsizetype defaultEventLimit = 1'048'576;

    explicit NativeStreamLines(qsizetype lineLimit = defaultLineLimit,
                               qsizetype eventLimit = defaultEventLimit);

    // One byte: the completed line (possibly empty), or nothing while the line is still open.
    std::optional<QByteArrayView> append(char byte);
    // Consumes `input` from the front up to and including the first byte that completes a line, and
    // returns that line; consumes all of it and returns nothing when no line completes.
    std::optional<QByteArrayView> append(QByteArrayView &input);

private:
    QByteArrayView finishLine(QByteArrayView bytes);
    void reserveBuffer(qsizetype size);

    Utf8LineScan m_scan;
    // The open line's bytes from earlier pieces; also holds the last line handed out when it was
    // assembled here, until the next append.
    QByteArray m_buffer;
    bool m_bufferHandedOut = false;
    qsizetype m_eventBytes = 0;
    bool m_afterCR = false;
    bool m_firstLine = true;
    qsizetype m_lineLimit;
    qsizetype m_eventLimit;
};
