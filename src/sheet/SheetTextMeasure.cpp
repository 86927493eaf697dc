#include "sheet/SheetTextMeasure.h"

#include <QFontMetricsF>
#include <QGuiApplication>

double measureCellText(const QString &text, bool bold, bool italic) {
    QFont font = QGuiApplication::font();
    font.setPixelSize(13);
    font.setBold(bold);
    font.setItalic(italic);
    return QFontMetricsF(font).horizontalAdvance(text);
}
