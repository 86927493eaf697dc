#include "connection/views/NativeIcon.h"

#include <QApplication>
#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QStyle>

#include <optional>

namespace {
// These standard icons carry images up to 128 px, all decoded as the icon is made: most of a
// millisecond each, paid while the first window is built. Their smallest image is also the style's
// standard pixmap, which decodes alone; the icon is made only for another size or mode.
bool decodedOnDemand(QStyle::StandardPixmap kind) {
    return kind == QStyle::SP_FileDialogNewFolder || kind == QStyle::SP_FileDialogContentsView ||
           kind == QStyle::SP_FileDialogDetailedView;
}

class StandardIconOnDemand : public QIconEngine {
public:
    explicit StandardIconOnDemand(QStyle::StandardPixmap kind) : m_kind(kind) {}

    // Sizes are in device pixels, as QIcon hands them to its engine.
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override {
        if (mode == QIcon::Normal && state == QIcon::Off && size == small().size())
            return small();
        return icon().pixmap(size, 1.0, mode, state);
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override {
        return pixmap(size, mode, state).size();
    }
    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override {
        const QPaintDevice *device = painter->device();
        const qreal ratio = device ? device->devicePixelRatioF() : qApp->devicePixelRatio();
        painter->drawPixmap(rect, pixmap(rect.size() * ratio, mode, state));
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        return icon().availableSizes(mode, state);
    }
    bool isNull() override { return false; }
    QIconEngine *clone() const override { return new StandardIconOnDemand(*this); }

private:
    const QPixmap &small() {
        if (!m_small)
            m_small = QApplication::style()->standardPixmap(m_kind);
        return *m_small;
    }
    const QIcon &icon() {
        if (!m_icon)
            m_icon = QApplication::style()->standardIcon(m_kind);
        return *m_icon;
    }

    QStyle::StandardPixmap m_kind;
    std::optional<QPixmap> m_small;
    std::optional<QIcon> m_icon;
};
} // namespace

QIcon nativeIcon(const QString &themeName) {
    // A bare desktop (no icon theme) still shows something close in meaning.
    static const QHash<QString, QStyle::StandardPixmap> fallbacks = {
        {QStringLiteral("dialog-error"), QStyle::SP_MessageBoxCritical},
        {QStringLiteral("network-offline"), QStyle::SP_MessageBoxWarning},
        {QStringLiteral("go-next"), QStyle::SP_ArrowForward},
        {QStringLiteral("list-add"), QStyle::SP_FileDialogNewFolder},
        {QStringLiteral("avatar-default"), QStyle::SP_DirHomeIcon},
        {QStringLiteral("x-office-spreadsheet"), QStyle::SP_FileDialogDetailedView},
        {QStringLiteral("view-refresh"), QStyle::SP_BrowserReload},
        {QStringLiteral("document-open-recent"), QStyle::SP_FileDialogContentsView},
        {QStringLiteral("go-home"), QStyle::SP_DirHomeIcon},
    };
    const QIcon themed = QIcon::fromTheme(themeName);
    if (!themed.isNull())
        return themed;
    const QStyle::StandardPixmap kind = fallbacks.value(themeName, QStyle::SP_FileIcon);
    if (decodedOnDemand(kind))
        return QIcon(new StandardIconOnDemand(kind));
    return QApplication::style()->standardIcon(kind);
}
