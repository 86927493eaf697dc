#include "app/TabrelAppearance.h"

#include <QApplication>
#include <QPalette>
#include <QStyle>
#include <QWidget>

namespace {
QPalette darkPalette() {
    QPalette palette;
    const QColor window(0x2b, 0x2b, 0x2b);
    const QColor base(0x1e, 0x1e, 0x1e);
    const QColor text(0xee, 0xee, 0xee);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, QColor(0x35, 0x35, 0x35));
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, window);
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::ToolTipBase, base);
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::PlaceholderText, QColor(0xa0, 0xa0, 0xa0));
    palette.setColor(QPalette::Highlight, QColor(0x2e, 0x7d, 0x32));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Link, QColor(0x81, 0xc7, 0x84));
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
    return palette;
}
} // namespace

void applyTabrelAppearance(QWidget *window, const QString &setting) {
    if (setting == QLatin1String("dark"))
        window->setPalette(darkPalette());
    else if (setting == QLatin1String("light"))
        window->setPalette(QApplication::style()->standardPalette());
    else
        window->setPalette(QPalette()); // the desktop's
}

bool tabrelIsDark(const QWidget *window) {
    return window->palette().color(QPalette::Window).lightness() < 128;
}
