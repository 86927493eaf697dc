#include "app/TabrelSaveAlert.h"

#include "app/TabrelStrings.h"

#include <QMessageBox>
#include <QPushButton>

QMessageBox *makeTabrelSaveAlert(const QString &title, const QString &text, QWidget *parent) {
    auto *alert = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::NoButton, parent);
    QPushButton *save = alert->addButton(tabrelMacString("Save"), QMessageBox::ActionRole);
    alert->addButton(tabrelMacString("Discard"), QMessageBox::ActionRole);
    QPushButton *cancel = alert->addButton(tabrelMacString("Cancel"), QMessageBox::ActionRole);
    alert->setDefaultButton(save);
    alert->setEscapeButton(cancel);
    return alert;
}

TabrelSaveChoice tabrelSaveChoice(const QMessageBox *alert, const QAbstractButton *clicked) {
    const QList<QAbstractButton *> buttons = alert->buttons();
    if (buttons.size() == 3 && clicked == buttons[0])
        return TabrelSaveChoice::save;
    if (buttons.size() == 3 && clicked == buttons[1])
        return TabrelSaveChoice::discard;
    return TabrelSaveChoice::cancel;
}
