#include "connection/NativeStreamLines.h"

#include "connection/NativeClientError.h"

#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {
// The first CR or LF in [from, to), or `to`. One pass over the bytes, like memchr, but for two values.
const char *findLineEnd(const char *from, const char *to) {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    const auto hits = [&](const char *at) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
        return _mm_or_si128(_mm_cmpeq_epi8(bytes, lf), _mm_cmpeq_epi8(bytes, cr));
    };
    while (to - from >= 64) {
        const __m128i a = hits(from), b = hits(from + 16), c = hits(from + 32), d = hits(from + 48);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) {
            const int masks[4] = {_mm_movemask_epi8(a), _mm_movemask_epi8(b), _mm_movemask_epi8(c),
                                  _mm_movemask_epi8(d)};
            for (int i = 0; i < 4; ++i) {
                if (masks[i] != 0)
                    return from + 16 * i + __builtin_ctz(static_cast<unsigned>(masks[i]));
            }
        }
        from += 64;
    }
    while (to - from >= 16) {
        if (const int mask = _mm_movemask_epi8(hits(from)); mask != 0)
            return from + __builtin_ctz(static_cast<unsigned>(mask));
        from += 16;
    }
#endif
    for (; from < to; ++from) {
        if (*from == '\n' || *from == '\r')
            return from;
    }
    return to;
}
} // namespace

NativeStreamLines::NativeStreamLines(qsizetype lineLimit, qsizetype eventLimit)
    : m_lineLimit(lineLimit), m_eventLimit(eventLimit) {}

std::optional<QString> NativeStreamLines::append(char byte) {
    QByteArrayView input(&byte, 1);
    return append(input);
}

std::optional<QString> NativeStreamLines::append(QByteArrayView &input) {
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
        const char *end = findLineEnd(begin, begin + input.size());
        const qsizetype ordinary = end - begin;
        // Byte by byte, the first byte that finds the line or the event full fails; so does any run
        // of bytes that would overfill either.
        if (ordinary > m_lineLimit - m_buffer.size() || ordinary > m_eventLimit - m_eventBytes)
            throw NativeClientError::message(
                QStringLiteral("The live update is too large. Reconnect to refresh it."));
        m_eventBytes += ordinary;
        if (end == begin + input.size()) {
            m_buffer.append(begin, ordinary);
            input = QByteArrayView();
            return std::nullopt;
        }
        m_afterCR = *end == '\r';
        input = input.sliced(ordinary + 1);
        QString line;
        if (m_buffer.isEmpty()) {
            line = finishLine(QByteArrayView(begin, ordinary));
        } else {
            m_buffer.append(begin, ordinary);
            line = finishLine(m_buffer);
            m_buffer.resize(0);
        }
        return line;
    }
    return std::nullopt;
}

QString NativeStreamLines::finishLine(QByteArrayView bytes) {
    // One pass decodes and judges the bytes; a stateless decoder counts an unfinished sequence at
    // the end as invalid too, and keeps a leading byte-order mark (dropped below, first line only).
    QString line = m_decoder(bytes);
    if (m_decoder.hasError()) {
        m_decoder.resetState();
        throw NativeClientError::message(QStringLiteral("The live connection returned invalid text."));
    }
    if (std::exchange(m_firstLine, false) && line.startsWith(QChar(0xFEFF)))
        line.remove(0, 1);
    if (line.isEmpty())
        m_eventBytes = 0;
    return line;
}
