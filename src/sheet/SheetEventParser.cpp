#include "sheet/SheetEventParser.h"

#include <utility>

namespace {
// Field values are trimmed of spaces and tabs only.
QByteArrayView trimmedBlanks(QByteArrayView text) {
    while (!text.isEmpty() && (text.front() == ' ' || text.front() == '\t'))
        text = text.sliced(1);
    while (!text.isEmpty() && (text.back() == ' ' || text.back() == '\t'))
        text.chop(1);
    return text;
}
} // namespace

std::optional<SheetEvent> SheetEventParser::receive(QByteArrayView line) {
    if (line.isEmpty())
        return SheetEvent{std::exchange(m_name, QByteArray()), std::exchange(m_data, QByteArray())};
    if (line.startsWith("event:")) {
        m_name = trimmedBlanks(line.sliced(6)).toByteArray();
    } else if (line.startsWith("data:")) {
        if (!m_data.isEmpty())
            m_data += '\n';
        m_data += trimmedBlanks(line.sliced(5));
    }
    return std::nullopt;
}
