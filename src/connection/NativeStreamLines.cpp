#include "connection/NativeStreamLines.h"

#include "connection/NativeClientError.h"

#include <algorithm>
#include <utility>

NativeStreamLines::NativeStreamLines(qsizetype lineLimit, qsizetype eventLimit)
    : m_lineLimit(lineLimit), m_eventLimit(eventLimit) {}

std::optional<QByteArrayView> NativeStreamLines::append(char byte) {
    QByteArrayView input(&byte, 1);
    // The line end itself is never part of a line, so the result never points at `byte`.
    return append(input);
}

std::optional<QByteArrayView> NativeStreamLines::append(QByteArrayView &input) {
    if (std::exchange(m_bufferHandedOut, false))
        m_buffer.resize(0); // keeps the allocation for the next long line
    while (!input.isEmpty()) {
        if (m_afterCR) {
            m_afterCR = false;
            // The LF of a CR LF pair adds no line.
            if (input.front() == '\n') {
                input = input.sliced(1);
                continue;
            }
        }
        const char *begin = input.data();
        // Byte by byte, the first byte that finds the line or the event full fails; so the scan
        // need look no further than one byte past the room left.
        const qsizetype room = std::min(m_lineLimit - m_buffer.size(), m_eventLimit - m_eventBytes);
        const char *scanEnd = begin + std::min(input.size(), room + 1);
        // A line begun in an earlier piece is copied on in the same pass as the scan.
        const qsizetype held = m_buffer.size();
        char *copy = nullptr;
        if (held > 0) {
            reserveBuffer(held + (scanEnd - begin) + 32);
            copy = m_buffer.data() + held;
        }
        const char *end = m_scan.scan(begin, scanEnd, copy);
        const qsizetype ordinary = end - begin;
        if (ordinary > room)
            throw NativeClientError::message(
                QStringLiteral("The live update is too large. Reconnect to refresh it."));
        m_eventBytes += ordinary;
        if (copy)
            m_buffer.resize(held + ordinary);
        if (end == begin + input.size()) {
            if (!copy)
                m_buffer.append(begin, ordinary);
            input = QByteArrayView();
            return std::nullopt;
        }
        m_afterCR = *end == '\r';
        input = input.sliced(ordinary + 1);
        if (!copy)
            return finishLine(QByteArrayView(begin, ordinary));
        m_bufferHandedOut = true;
        return finishLine(m_buffer);
    }
    return std::nullopt;
}

void NativeStreamLines::reserveBuffer(qsizetype size) {
    // Grows by doubling, so a long line arriving in many pieces is not copied again for each.
    if (size > m_buffer.capacity())
        m_buffer.reserve(std::max(size, 2 * m_buffer.capacity()));
}

QByteArrayView NativeStreamLines::finishLine(QByteArrayView bytes) {
    if (!m_scan.finishLine())
        throw NativeClientError::message(QStringLiteral("The live connection returned invalid text."));
    if (std::exchange(m_firstLine, false) && bytes.startsWith("\xEF\xBB\xBF"))
        bytes = bytes.sliced(3);
    if (bytes.isEmpty()) {
        m_eventBytes = 0;
        return QByteArrayView();
    }
    return bytes;
}
