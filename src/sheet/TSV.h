#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The clipboard's tab-separated text: fields joined by tabs, rows by line feeds. A field holding a
// tab, a line break or a double quote is quoted, with inner quotes doubled.
namespace TSV {
QString encode(const QList<QStringList> &rows);
// Appends one field, quoted when it must be; the caller writes the separators.
void appendField(QString &text, QStringView field);
// Reads quoted and plain fields; CR, LF and CRLF all end a row, and one trailing line break adds no
// row. Never fails: an unterminated quote runs to the end of the text.
QList<QStringList> decode(const QString &text);
} // namespace TSV
