#include "sheet/TSV.h"

namespace {
bool needsQuotes(const QString &field) {
    for (QChar ch : field) {
        if (ch == u'\t' || ch == u'\r' || ch == u'\n' || ch == u'"')
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
            if (needsQuotes(row[f])) {
                QString quoted = row[f];
                quoted.replace(u'"', QStringLiteral("\"\""));
                text += u'"' + quoted + u'"';
            } else {
                text += row[f];
            }
        }
    }
    return text;
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
