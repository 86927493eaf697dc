#include "connection/views/NativeOfflineBanner.h"

#include "connection/NativeConnectivity.h"
#include "connection/views/NativeIcon.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>

namespace {
constexpr int horizontalPadding = 12;
constexpr int verticalPadding = 6;
constexpr int iconSize = 16;

// The banner reads as one alert: its icon and text are painted, not child widgets.
QAccessibleInterface *bannerAccessible(const QString &key, QObject *object) {
    if (key == QLatin1String("NativeOfflineBanner") && object && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::AlertMessage);
    return nullptr;
}
} // namespace

NativeOfflineBanner::NativeOfflineBanner(std::shared_ptr<NativeConnectivity> connectivity, const QUrl &origin,
                                         const QString &message, QWidget *parent)
    : QWidget(parent), m_connectivity(std::move(connectivity)), m_origin(origin), m_message(message) {
    static const bool installed = [] {
        QAccessible::installFactory(bannerAccessible);
        return true;
    }();
    Q_UNUSED(installed);
    setAccessibleName(m_message);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::AlternateBase);
    // A window that opens while offline says nothing: only later transitions are announced.
    m_offline = m_connectivity && m_connectivity->isOffline(m_origin);
    setVisible(m_offline);
    if (m_connectivity) {
        connect(m_connectivity.get(), &NativeConnectivity::reachabilityChanged, this,
                &NativeOfflineBanner::refresh);
        connect(m_connectivity.get(), &NativeConnectivity::pathChanged, this, &NativeOfflineBanner::refresh);
    }
}

void NativeOfflineBanner::refresh() {
    const bool offline = m_connectivity->isOffline(m_origin);
    if (offline == m_offline)
        return;
    m_offline = offline;
    setVisible(offline);
    const QWidget *host = parentWidget();
    if (offline && (!host || host->isVisible())) {
        QAccessibleEvent event(this, QAccessible::Alert);
        QAccessible::updateAccessibility(&event);
        Q_EMIT announced();
    }
}

QSize NativeOfflineBanner::sizeHint() const {
    const QFontMetrics metrics(font());
    return {horizontalPadding * 2 + iconSize + 8 + metrics.horizontalAdvance(m_message),
            verticalPadding * 2 + std::max(iconSize, metrics.height())};
}

void NativeOfflineBanner::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    const QRect inner =
        rect().adjusted(horizontalPadding, verticalPadding, -horizontalPadding, -verticalPadding);
    const QRect iconRect(inner.left(), inner.center().y() - iconSize / 2, iconSize, iconSize);
    nativeIcon(QStringLiteral("network-offline")).paint(&painter, iconRect);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(inner.adjusted(iconSize + 8, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft, m_message);
}
