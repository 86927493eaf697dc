#include "editor/SheetCellEditor.h"

#include "sheet/SheetModel.h"
#include "sheet/views/SheetCellPainter.h"

#include <QKeyEvent>
#include <QPointer>
#include <QTimer>

SheetCellEditor::SheetCellEditor(std::shared_ptr<SheetModel> model, const Coordinate &cell, QWidget *parent)
    : QLineEdit(parent), m_model(std::move(model)), m_cell(cell), m_initialValue(m_model->originalDraft()) {
    setFrame(false);
    setFont(SheetCellPainter::font(false, false));
    setTextMargins(int(SheetCellPainter::padding) - 2, 0, int(SheetCellPainter::padding) - 2, 0);
    // The grid paints the cell's fill and the accent border underneath.
    setAutoFillBackground(false);
    QPalette clear = palette();
    clear.setColor(QPalette::Base, Qt::transparent);
    setPalette(clear);
    setAccessibleName(tr("Edit %1").arg(cell.ref()));
    m_quiet = true;
    setText(m_model->draft());
    m_quiet = false;
    followPermissions();

    connect(this, &QLineEdit::textChanged, this, [this](const QString &text) {
        if (!m_quiet && text != m_model->draft())
            m_model->setDraft(text);
    });
    connect(m_model.get(), &SheetModel::draftChanged, this, &SheetCellEditor::followDraft);
    connect(m_model.get(), &SheetModel::busyChanged, this, &SheetCellEditor::followPermissions);
    connect(m_model.get(), &SheetModel::pageChanged, this, &SheetCellEditor::followPermissions);
}

std::function<bool()> SheetCellEditor::focusProbe() {
    return
        [field = QPointer<SheetCellEditor>(this)] { return field && field->window() && field->hasFocus(); };
}

void SheetCellEditor::followDraft() {
    if (text() == m_model->draft())
        return;
    m_quiet = true;
    setText(m_model->draft());
    m_quiet = false;
    if (hasFocus())
        end(false);
}

void SheetCellEditor::followPermissions() {
    const bool enabled = m_model->mayWrite() && !m_model->busy();
    const bool takeFocus = enabled && !isEnabled();
    setEnabled(enabled);
    if (takeFocus && isVisible())
        setFocus(Qt::OtherFocusReason);
}

void SheetCellEditor::prepareUndo() {
    const QString current = text();
    if (current != m_initialValue) {
        m_quiet = true;
        setText(m_initialValue); // starts a fresh history at the saved text
        selectAll();
        insert(current); // one undoable replacement
        m_quiet = false;
    }
}

void SheetCellEditor::focusInEvent(QFocusEvent *event) {
    QLineEdit::focusInEvent(event);
    if (!m_preparedUndo) {
        m_preparedUndo = true;
        prepareUndo();
    }
    deselect();
    end(false);
}

void SheetCellEditor::showEvent(QShowEvent *event) {
    QLineEdit::showEvent(event);
    QTimer::singleShot(0, this, [this] {
        if (isEnabled() && isVisible())
            setFocus(Qt::OtherFocusReason);
    });
}

bool SheetCellEditor::event(QEvent *event) {
    // Tab saves instead of moving focus to the next widget.
    if (event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            keyPressEvent(key);
            return true;
        }
    }
    return QLineEdit::event(event);
}

void SheetCellEditor::keyPressEvent(QKeyEvent *event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (commit)
            commit(false, event->modifiers().testFlag(Qt::ShiftModifier));
        event->accept();
        return;
    case Qt::Key_Tab:
        if (commit)
            commit(true, false);
        event->accept();
        return;
    case Qt::Key_Backtab:
        if (commit)
            commit(true, true);
        event->accept();
        return;
    case Qt::Key_Escape:
        if (cancel)
            cancel();
        event->accept();
        return;
    default:
        QLineEdit::keyPressEvent(event);
    }
}
