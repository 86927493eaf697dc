#pragma once

#include "sheet/Coordinate.h"

#include <QLineEdit>

#include <functional>
#include <memory>

class SheetModel;

// The text field laid over the edited cell. It shows and writes the model's draft, keeps its own
// typing undo (the first Undo after opening by typing brings back the saved text), and turns
// Return, Tab and Escape into saving or abandoning the edit.
class SheetCellEditor : public QLineEdit {
    Q_OBJECT
public:
    SheetCellEditor(std::shared_ptr<SheetModel> model, const Coordinate &cell, QWidget *parent = nullptr);

    // Save and move: Return moves down (up with Shift), Tab right, Shift+Tab left.
    std::function<void(bool right, bool backwards)> commit;
    // Abandon the edit (Escape).
    std::function<void()> cancel;

    // Answers whether this field holds keyboard focus; false once the field is gone.
    std::function<bool()> focusProbe();
    const Coordinate &cell() const { return m_cell; }

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void followDraft();
    void followPermissions();
    // Makes the replacement of the saved text by the opening draft one undoable step.
    void prepareUndo();

    std::shared_ptr<SheetModel> m_model;
    Coordinate m_cell;
    QString m_initialValue;
    bool m_preparedUndo = false;
    bool m_quiet = false; // true while the field's text changes without writing the draft
};
