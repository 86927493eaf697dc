#include "editor/SheetFormulaBar.h"

#include "async/DetachedTask.h"
#include "sheet/SheetModel.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
QString mac(const char *text) {
    return QCoreApplication::translate("Mac", text);
}
} // namespace

SheetFormulaBar::SheetFormulaBar(std::shared_ptr<SheetModel> model, QWidget *parent)
    : QWidget(parent), m_model(std::move(model)), m_range(new QLineEdit(this)), m_fx(new QLabel(this)),
      m_contents(new QLineEdit(this)), m_save(new QPushButton(mac("Save"), this)),
      m_discard(new QPushButton(mac("Discard"), this)) {
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 6, 8, 6);
    layout->setSpacing(8);

    m_range->setPlaceholderText(mac("Cell or range"));
    m_range->setAccessibleName(mac("Cell or range, for example A1:B5"));
    m_range->setFixedWidth(110);
    m_range->setText(m_model->rangeText());
    m_fx->setText(QStringLiteral("fx"));
    m_fx->setForegroundRole(QPalette::PlaceholderText);
    m_contents->setPlaceholderText(mac("Cell contents or formula"));
    m_contents->setAccessibleName(mac("Cell contents or formula"));
    m_contents->setText(m_model->draft());
    m_contents->installEventFilter(this);

    layout->addWidget(m_range);
    layout->addWidget(m_fx);
    layout->addWidget(m_contents, 1);
    layout->addWidget(m_save);
    layout->addWidget(m_discard);

    connect(m_range, &QLineEdit::textEdited, this,
            [this](const QString &text) { m_model->setRangeText(text); });
    connect(m_range, &QLineEdit::returnPressed, this, [this] { m_model->selectRange(); });
    connect(m_contents, &QLineEdit::textEdited, this,
            [this](const QString &text) { m_model->setDraft(text); });
    connect(m_save, &QPushButton::clicked, this, [this] { startCommit(false); });
    connect(m_discard, &QPushButton::clicked, this, [this] { m_model->discard(); });

    SheetModel *observed = m_model.get();
    connect(observed, &SheetModel::rangeTextChanged, this, [this] {
        if (m_range->text() != m_model->rangeText())
            m_range->setText(m_model->rangeText());
    });
    connect(observed, &SheetModel::draftChanged, this, [this] {
        if (m_contents->text() != m_model->draft())
            m_contents->setText(m_model->draft());
    });
    for (auto signal : {&SheetModel::draftChanged, &SheetModel::originalDraftChanged,
                        &SheetModel::busyChanged, &SheetModel::pageChanged, &SheetModel::failedWritesChanged})
        connect(observed, signal, this, &SheetFormulaBar::follow);
    follow();
}

void SheetFormulaBar::follow() {
    const bool busy = m_model->busy();
    m_contents->setEnabled(m_model->mayWrite() && !busy && m_model->failedWrites().isEmpty());
    const bool differs = m_model->draft() != m_model->originalDraft();
    m_save->setVisible(differs);
    m_discard->setVisible(differs);
    m_save->setEnabled(!busy);
    m_discard->setEnabled(!busy);
}

void SheetFormulaBar::focusContents() {
    m_contents->setFocus(Qt::OtherFocusReason);
}

void SheetFormulaBar::startCommit(bool moveRight) {
    auto model = m_model;
    startDetached(model, [model, moveRight] { return model->commit(moveRight, false); });
}

bool SheetFormulaBar::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_contents && event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            startCommit(false);
            return true;
        case Qt::Key_Tab:
            startCommit(true);
            return true;
        case Qt::Key_Escape:
            m_model->discard();
            return true;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}
