#include "sheet/TSV.h"

namespace {
bool needsQuotes(QStringView field) {
    // Most characters are above '"', so one comparison settles them; copies of large blocks scan
    // every character here.
    for (const QChar qch : field) {
        const char16_t ch = qch.unicode();
        if (ch <= u'"' && (ch == u'\t' || ch == u'\r' || ch == u'\n' || ch == u'"'))
            return true;
    }
    return false;
}
} // namespace

QString TSV::encode(const QList<QStringList> &rows) {
    QString text;
    for (qsizetype r = 0; r < rows.size(); ++r) {
        if (r > 0)
            text += u'\n';
        const QStringList &row = rows[r];
        for (qsizetype f = 0; f < row.size(); ++f) {
            if (f > 0)
                text += u'\t';
            appendField(text, row[f]);
        }
    }
    return text;
}

void TSV::appendField(QString &text, QStringView field) {
    if (!needsQuotes(field)) {
        text += field;
        return;
    }
    QString quoted = field.toString();
    quoted.replace(u'"', QStringLiteral("\"\""));
    text += u'"' + quoted + u'"';
}

QList<QStringList> TSV::decode(const QString &text) {
    QList<QStringList> rows;
    QStringList row;
    QString field;
    bool inQuotes = false;
    bool endedWithLineBreak = false;
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const QChar ch = text[i];
        endedWithLineBreak = false;
        if (ch == u'"') {
            if (!inQuotes) {
                if (field.isEmpty())
                    inQuotes = true;
                else
                    field += ch;
            } else if (i + 1 < size && text[i + 1] == u'"') {
                field += ch;
                ++i;
            } else {
                inQuotes = false;
            }
        } else if (inQuotes) {
            field += ch;
        } else if (ch == u'\t') {
            row.append(std::exchange(field, QString()));
        } else if (ch == u'\n' || ch == u'\r') {
            if (ch == u'\r' && i + 1 < size && text[i + 1] == u'\n')
                ++i; // CRLF is one line break
            row.append(std::exchange(field, QString()));
            rows.append(std::exchange(row, QStringList()));
            endedWithLineBreak = true;
        } else {
            field += ch;
        }
    }
    row.append(field);
    rows.append(row);
    if (endedWithLineBreak && rows.last() == QStringList{QString()})
        rows.removeLast();
    return rows;
}
