#pragma once

#include "sheet/views/SheetFeaturePanel.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

// "Share": who has access and by which role, the sheet's links, and the controls that grant and
// remove access and create and revoke links. A new link's address shows once, right after it was
// created. Only owners may manage sharing: for anyone else the server refuses and the panel says
// so. Loads when shown.
class SheetSharePanel : public SheetFeaturePanel {
    Q_OBJECT

public:
    explicit SheetSharePanel(std::shared_ptr<SheetModel> model, QWidget *parent = nullptr);

    QLineEdit *address() const { return m_address; }
    QComboBox *role() const { return m_role; }
    QPushButton *grantButton() const { return m_grant; }
    QComboBox *linkRole() const { return m_linkRole; }
    QPushButton *createLinkButton() const { return m_createLink; }
    QLineEdit *newLink() const { return m_newLink; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void rebuild();

    QLineEdit *m_address = nullptr;
    QComboBox *m_role = nullptr;
    QPushButton *m_grant = nullptr;
    QVBoxLayout *m_people = nullptr;
    QComboBox *m_linkRole = nullptr;
    QPushButton *m_createLink = nullptr;
    QWidget *m_newLinkBox = nullptr;
    QLineEdit *m_newLink = nullptr;
    QVBoxLayout *m_links = nullptr;
    QLabel *m_notice = nullptr;
};
