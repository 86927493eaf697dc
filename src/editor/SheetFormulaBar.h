#pragma once

#include <QWidget>

#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;
class SheetModel;

// The row above the grid: the range field, "fx", the contents field bound to the draft, and Save and
// Discard while the draft differs from the saved text.
class SheetFormulaBar : public QWidget {
    Q_OBJECT
public:
    explicit SheetFormulaBar(std::shared_ptr<SheetModel> model, QWidget *parent = nullptr);

    QLineEdit *rangeField() const { return m_range; }
    QLineEdit *contentsField() const { return m_contents; }
    QPushButton *saveButton() const { return m_save; }
    QPushButton *discardButton() const { return m_discard; }
    // Moves keyboard focus to the contents field (the workspace's "edit in formula bar").
    void focusContents();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void follow();
    void startCommit(bool moveRight);

    std::shared_ptr<SheetModel> m_model;
    QLineEdit *m_range;
    QLabel *m_fx;
    QLineEdit *m_contents;
    QPushButton *m_save;
    QPushButton *m_discard;
};
