#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

#include <memory>

class SheetModel;
#include <QMessageBox>
class QWidget;

// Keeps a window from closing over unsaved work of its model: refuses while a save is in flight,
// and asks "Save", "Discard" or "Cancel" while a cell edit is unsaved or writes are unconfirmed.
// Every live guard is listed for the quit check of TabrelApplicationDelegate.
class SheetCloseGuard : public QObject {
    Q_OBJECT
public:
    SheetCloseGuard(std::shared_ptr<SheetModel> model, QObject *parent = nullptr);
    ~SheetCloseGuard() override;

    // Watches `window`'s close requests; its other events go on as before.
    void attach(QWidget *window);
    QWidget *window() const { return m_window; }
    // The question shown for a refused close, while it is open.
    QMessageBox *alert() const { return m_alert; }

    // The models of every live guard, in the order the guards were attached.
    static QList<std::shared_ptr<SheetModel>> liveModels();
    // A model with an unsaved cell edit or unconfirmed writes.
    static bool hasUnsavedWork(const SheetModel &model);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void ask();
    void answered(int choice);

    std::weak_ptr<SheetModel> m_model;
    QPointer<QWidget> m_window;
    QPointer<QMessageBox> m_alert;
};
