#pragma once

#include <QWidget>

#include <functional>
#include <memory>

class SheetModel;
class QLineEdit;
class QPushButton;

// The Rename panel: the open sheet's title in a field, and "Rename". A refused rename keeps the
// panel and the field; the reason shows in the panel's error line.
class SheetRenamePanel : public QWidget {
    Q_OBJECT
public:
    SheetRenamePanel(std::shared_ptr<SheetModel> model, std::function<void()> dismiss,
                     QWidget *parent = nullptr);

    QLineEdit *titleField() const { return m_title; }
    QPushButton *renameButton() const { return m_rename; }

private:
    void rename();

    std::shared_ptr<SheetModel> m_model;
    std::function<void()> m_dismiss;
    QLineEdit *m_title = nullptr;
    QPushButton *m_rename = nullptr;
};
