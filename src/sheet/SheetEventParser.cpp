#include "sheet/SheetEventParser.h"

namespace {
// Field values are trimmed of spaces and tabs only.
QString trimmedBlanks(QStringView text) {
    qsizetype from = 0, to = text.size();
    while (from < to && (text[from] == u' ' || text[from] == u'\t'))
        ++from;
    while (to > from && (text[to - 1] == u' ' || text[to - 1] == u'\t'))
        --to;
    return text.mid(from, to - from).toString();
}
} // namespace

std::optional<SheetEvent> SheetEventParser::receive(const QString &line) {
    if (line.isEmpty()) {
        SheetEvent event{std::exchange(m_name, QString()), std::exchange(m_data, QString())};
        return event;
    }
    if (line.startsWith(QLatin1StringView("event:"))) {
        m_name = trimmedBlanks(QStringView(line).mid(6));
    } else if (line.startsWith(QLatin1StringView("data:"))) {
        if (!m_data.isEmpty())
            m_data += u'\n';
        m_data += trimmedBlanks(QStringView(line).mid(5));
    }
    return std::nullopt;
}
