#pragma once

#include "sheet/views/SheetFeaturePanel.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QVBoxLayout;

// "Comments": every comment thread of the sheet, and, for those who may comment, a field to add a
// comment to the cell at the selection anchor and a button to resolve each open thread. Readers
// see the threads only. Loads the threads when shown.
class SheetCommentsPanel : public SheetFeaturePanel {
    Q_OBJECT

public:
    explicit SheetCommentsPanel(std::shared_ptr<SheetModel> model, QWidget *parent = nullptr);

    QLabel *target() const { return m_target; }
    QPlainTextEdit *body() const { return m_body; }
    QPushButton *addButton() const { return m_add; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void updateComposer();
    void rebuild();

    QWidget *m_composer = nullptr;
    QLabel *m_target = nullptr;
    QPlainTextEdit *m_body = nullptr;
    QPushButton *m_add = nullptr;
    QVBoxLayout *m_threads = nullptr;
};
