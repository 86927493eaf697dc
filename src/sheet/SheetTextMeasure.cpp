#include "sheet/SheetTextMeasure.h"

#include <QFontMetricsF>
#include <QGuiApplication>

#include <algorithm>

double measureCellText(const QString &text, bool bold, bool italic) {
    QFont font = QGuiApplication::font();
    font.setPixelSize(13);
    font.setBold(bold);
    font.setItalic(italic);
    const QFontMetricsF metrics(font);
    // A cell shows each line under the last, so its width is that of its widest line.
    double widest = 0;
    qsizetype from = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        const bool lineEnd = i == text.size() || text[i] == u'\n' || text[i] == u'\r' ||
                             text[i] == QChar::LineSeparator || text[i] == QChar::ParagraphSeparator;
        if (!lineEnd)
            continue;
        widest = std::max(widest, metrics.horizontalAdvance(text.mid(from, i - from)));
        from = i + 1;
    }
    return widest;
}
