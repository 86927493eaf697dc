#include "sheet/views/SheetCellPainter.h"

#include "sheet/views/SheetColor.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPainter>

QFont SheetCellPainter::font(bool bold, bool italic) {
    QFont font = QGuiApplication::font();
    font.setPixelSize(fontPixelSize);
    font.setBold(bold);
    font.setItalic(italic);
    return font;
}

Qt::Alignment SheetCellPainter::alignment(const Cell *cell, const CellStyle *style) {
    if (style && style->a) {
        if (*style->a == u"center")
            return Qt::AlignHCenter;
        if (*style->a == u"right")
            return Qt::AlignRight;
        return Qt::AlignLeft;
    }
    return cell && cell->n.value_or(false) ? Qt::AlignRight : Qt::AlignLeft;
}

QString SheetCellPainter::shownText(const QString &display) {
    QString text = display.left(maximumShownCharacters);
    for (QChar &ch : text) {
        const char16_t u = ch.unicode();
        if ((u >= 0x09 && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029)
            ch = u' ';
    }
    return text;
}

SheetCellLook SheetCellPainter::look(const Cell *cell, const CellStyle *style, bool dark,
                                     const QColor &label) {
    SheetCellLook look;
    look.font = font(style && style->b.value_or(false), style && style->i.value_or(false));
    look.alignment = alignment(cell, style);
    look.ink = SheetColor::ink(style, dark).value_or(label);
    look.fill = SheetColor::fill(style, dark);
    if (cell && !cell->display.isEmpty()) {
        look.text = QStaticText(shownText(cell->display));
        look.text.setTextFormat(Qt::PlainText);
        look.text.setPerformanceHint(QStaticText::AggressiveCaching);
        look.text.prepare(QTransform(), look.font);
        look.textSize = look.text.size();
    }
    return look;
}

void SheetCellPainter::paint(QPainter &painter, const QRectF &rect, const SheetCellLook &look) {
    if (look.fill)
        painter.fillRect(rect, *look.fill);
    if (look.text.text().isEmpty())
        return;
    const QRectF inner = rect.adjusted(padding, 0, -padding, 0);
    if (inner.width() <= 0)
        return;
    qreal x = inner.left();
    if (look.alignment & Qt::AlignRight)
        x = inner.right() - look.textSize.width();
    else if (look.alignment & Qt::AlignHCenter)
        x = inner.left() + (inner.width() - look.textSize.width()) / 2;
    const qreal y = rect.top() + (rect.height() - look.textSize.height()) / 2;
    const bool overflows = look.textSize.width() > inner.width() || look.textSize.height() > rect.height();
    if (overflows) {
        painter.save();
        painter.setClipRect(inner, Qt::IntersectClip);
    }
    painter.setFont(look.font);
    painter.setPen(look.ink);
    painter.drawStaticText(QPointF(x, y), look.text);
    if (overflows)
        painter.restore();
}

void SheetCellPainter::paint(QPainter &painter, const QRectF &rect, const Cell *cell, const CellStyle *style,
                             bool dark, const QColor &label) {
    paint(painter, rect, look(cell, style, dark, label));
}
