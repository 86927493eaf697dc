#pragma once

#include "sheet/views/SheetFeaturePanel.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

// "Data": the sort and filter settings of the table. "Apply and open table" saves them and shows
// the table; "Open table" shows it as last saved. Loads the stored settings when shown.
class SheetDataPanel : public SheetFeaturePanel {
    Q_OBJECT

public:
    explicit SheetDataPanel(std::shared_ptr<SheetModel> model, QWidget *parent = nullptr);

    QComboBox *sortColumn() const { return m_sortCol; }
    QCheckBox *descending() const { return m_desc; }
    QComboBox *filterColumn() const { return m_filterCol; }
    QComboBox *comparison() const { return m_op; }
    QLineEdit *filterValue() const { return m_value; }
    QPushButton *applyButton() const { return m_apply; }
    QPushButton *openButton() const { return m_open; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void showView();
    void editView();

    QComboBox *m_sortCol = nullptr;
    QCheckBox *m_desc = nullptr;
    QComboBox *m_filterCol = nullptr;
    QComboBox *m_op = nullptr;
    QLineEdit *m_value = nullptr;
    QPushButton *m_apply = nullptr;
    QPushButton *m_open = nullptr;
};
