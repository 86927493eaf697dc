#include "sheet/views/SheetSizesPanel.h"

#include "async/DetachedTask.h"
#include "sheet/SheetModel.h"

#include <QCoreApplication>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
QString mac(const char *text) {
    return QCoreApplication::translate("Mac", text);
}
} // namespace

SheetSizesPanel::SheetSizesPanel(std::shared_ptr<SheetModel> model, QWidget *parent)
    : QWidget(parent), m_model(std::move(model)), m_width(new QLineEdit(this)), m_height(new QLineEdit(this)),
      m_setWidth(new QPushButton(mac("Set column width"), this)),
      m_setHeight(new QPushButton(mac("Set row height"), this)) {
    const QLocale locale;
    m_width->setText(locale.toString(110));
    m_height->setText(locale.toString(32));
    m_width->setAccessibleName(mac("Column width"));
    m_height->setAccessibleName(mac("Row height"));

    auto *layout = new QVBoxLayout(this);
    auto *form = new QFormLayout;
    form->addRow(mac("Column width"), m_width);
    form->addRow(QString(), m_setWidth);
    form->addRow(mac("Row height"), m_height);
    form->addRow(QString(), m_setHeight);
    layout->addLayout(form);
    auto *note = new QLabel(mac("Formatting and size changes do not have undo."), this);
    QFont caption = note->font();
    caption.setPixelSize(11);
    note->setFont(caption);
    note->setWordWrap(true);
    layout->addWidget(note);
    layout->addStretch(1);

    connect(m_width, &QLineEdit::textChanged, this, &SheetSizesPanel::follow);
    connect(m_height, &QLineEdit::textChanged, this, &SheetSizesPanel::follow);
    connect(m_setWidth, &QPushButton::clicked, this, [this] { apply(QStringLiteral("col"), m_width); });
    connect(m_setHeight, &QPushButton::clicked, this, [this] { apply(QStringLiteral("row"), m_height); });
    follow();
}

std::optional<int> SheetSizesPanel::value(const QLineEdit *field) {
    bool ok = false;
    const int number = QLocale().toInt(field->text().trimmed(), &ok);
    if (!ok)
        return std::nullopt;
    return number;
}

void SheetSizesPanel::follow() {
    const auto inRange = [](std::optional<int> size) {
        return size && *size >= minimumSize && *size <= maximumSize;
    };
    m_setWidth->setEnabled(inRange(value(m_width)));
    m_setHeight->setEnabled(inRange(value(m_height)));
}

void SheetSizesPanel::apply(const QString &axis, const QLineEdit *field) {
    const auto size = value(field);
    if (!size || *size < minimumSize || *size > maximumSize)
        return;
    auto model = m_model;
    const qint64 chosen = *size;
    startDetached(model, [model, axis, chosen] { return model->resize(axis, chosen, std::nullopt); });
}
