#include "sheet/views/SheetThumbnail.h"

#include "sheet/views/SheetColor.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace {
constexpr double margin = 4;

QColor withOpacity(QColor color, double opacity) {
    color.setAlphaF(float(opacity));
    return color;
}

// Screen readers skip the picture: it has no role, no name and is marked invisible.
class HiddenAccessible : public QAccessibleWidget {
public:
    explicit HiddenAccessible(QWidget *widget) : QAccessibleWidget(widget, QAccessible::NoRole) {}
    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.invisible = true;
        return state;
    }
    QString text(QAccessible::Text) const override { return {}; }
};

QAccessibleInterface *hiddenThumbnail(const QString &className, QObject *object) {
    if (className == QStringLiteral("SheetThumbnail") && object && object->isWidgetType())
        return new HiddenAccessible(static_cast<QWidget *>(object));
    return nullptr;
}
} // namespace

SheetThumbnail::Colors SheetThumbnail::Colors::from(const QPalette &palette) {
    return Colors{palette.color(QPalette::WindowText), palette.color(QPalette::PlaceholderText),
                  palette.color(QPalette::Highlight)};
}

SheetThumbnail::SheetThumbnail(std::optional<SheetPreview> preview, QSize size, QWidget *parent)
    : QWidget(parent), m_preview(std::move(preview)) {
    static const bool installed = [] {
        QAccessible::installFactory(hiddenThumbnail);
        return true;
    }();
    Q_UNUSED(installed);
    setFixedSize(size);
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
}

void SheetThumbnail::setPreview(std::optional<SheetPreview> preview) {
    if (m_preview == preview)
        return;
    m_preview = std::move(preview);
    update();
}

QColor SheetThumbnail::fillColor(const QString &fill, const QColor &accent) {
    const auto hexDigit = [](QChar ch) {
        return (ch >= u'0' && ch <= u'9') || (ch >= u'a' && ch <= u'f') || (ch >= u'A' && ch <= u'F');
    };
    const bool hexForm =
        fill.size() == 7 && fill.startsWith(u'#') && std::all_of(fill.cbegin() + 1, fill.cend(), hexDigit);
    return hexForm ? SheetColor::hex(fill) : withOpacity(accent, 0.15);
}

void SheetThumbnail::paint(QPainter &painter, QSizeF size, const std::optional<SheetPreview> &preview,
                           const Colors &colors) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath frame;
    frame.addRoundedRect(QRectF(QPointF(0, 0), size).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
    painter.fillPath(frame, withOpacity(colors.primary, 0.025));
    painter.strokePath(frame, QPen(withOpacity(colors.secondary, 0.3), 1));

    const bool drawable = preview && !preview->Empty && preview->Rows >= 1 && preview->Rows <= maximumRows &&
                          preview->Cols >= 1 && preview->Cols <= maximumCols && preview->Cells &&
                          !preview->Cells->isEmpty();
    if (drawable) {
        const double w = (size.width() - 2 * margin) / double(preview->Cols);
        const double h = (size.height() - 2 * margin) / double(preview->Rows);
        const QColor bold = withOpacity(colors.secondary, 0.8);
        const QColor plain = withOpacity(colors.secondary, 0.4);
        const qsizetype count = std::min(preview->Cells->size(), maximumCells);
        for (qsizetype i = 0; i < count; ++i) {
            const SheetPreviewCell &cell = preview->Cells->at(i);
            if (cell.R < 0 || cell.R >= preview->Rows || cell.C < 0 || cell.C >= preview->Cols)
                continue;
            const double x = w * double(cell.C) + margin;
            const double y = h * double(cell.R) + margin;
            if (!cell.Fill.isEmpty())
                painter.fillRect(QRectF(x, y, w, h), fillColor(cell.Fill, colors.accent));
            QPainterPath bar;
            bar.addRoundedRect(QRectF(x + 0.15 * w, y + 0.35 * h, 0.7 * w, 0.3 * h), 0.5, 0.5);
            painter.fillPath(bar, cell.Bold ? bold : plain);
        }
    }
    painter.restore();
}

void SheetThumbnail::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    paint(painter, size(), m_preview, Colors::from(palette()));
}
