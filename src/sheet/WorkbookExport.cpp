#include "sheet/WorkbookExport.h"

namespace {
bool trimmable(QChar ch) {
    return ch.isSpace() || ch == u'.';
}
} // namespace

QString WorkbookExport::filenameFor(const QString &title) {
    QString name;
    name.reserve(title.size());
    for (const QChar ch : title) {
        if (ch.category() == QChar::Other_Control)
            continue;
        name += (ch == u'/' || ch == u':') ? QChar(u'-') : ch;
    }
    qsizetype start = 0;
    qsizetype end = name.size();
    while (start < end && trimmable(name.at(start)))
        ++start;
    while (end > start && trimmable(name.at(end - 1)))
        --end;
    name = name.mid(start, end - start);
    // Drop whole characters, never half of a surrogate pair.
    while (name.toUtf8().size() > 200)
        name.chop(name.size() >= 2 && name.back().isLowSurrogate() ? 2 : 1);
    if (name.isEmpty())
        name = QStringLiteral("Workbook");
    if (!name.toLower().endsWith(QStringLiteral(".xlsx")))
        name += QStringLiteral(".xlsx");
    return name;
}
