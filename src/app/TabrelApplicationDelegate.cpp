#include "app/TabrelApplicationDelegate.h"

#include "app/SheetCloseGuard.h"
#include "app/TabrelSaveAlert.h"
#include "app/TabrelStrings.h"
#include "async/DetachedTask.h"
#include "sheet/SheetModel.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QSessionManager>

#include <memory>
#include <optional>

namespace {
enum Choice { save = 0, discardChoice = 1, cancelChoice = 2 };

QList<std::shared_ptr<SheetModel>> unsavedModels(bool *busy) {
    QList<std::shared_ptr<SheetModel>> unsaved;
    *busy = false;
    for (const auto &model : SheetCloseGuard::liveModels()) {
        *busy = *busy || model->busy();
        if (SheetCloseGuard::hasUnsavedWork(*model))
            unsaved.append(model);
    }
    return unsaved;
}

QCoro::Task<bool> saveEach(QList<std::shared_ptr<SheetModel>> models) {
    for (const auto &model : models)
        co_await model->saveAll();
    for (const auto &model : models) {
        if (SheetCloseGuard::hasUnsavedWork(*model))
            co_return false;
    }
    co_return true;
}
} // namespace

TabrelApplicationDelegate::TabrelApplicationDelegate(std::function<void()> terminate, QObject *parent)
    : QObject(parent), m_terminate(std::move(terminate)) {
    if (!m_terminate)
        m_terminate = [] { QCoreApplication::quit(); };
}

TabrelApplicationDelegate::Reply TabrelApplicationDelegate::requestQuit() {
    if (m_waiting || m_alert)
        return Reply::cancel;
    bool busy = false;
    const auto unsaved = unsavedModels(&busy);
    if (busy)
        return Reply::cancel;
    if (unsaved.isEmpty()) {
        m_terminate();
        return Reply::now;
    }
    QMessageBox *alert = makeTabrelSaveAlert(
        tabrelMacString("Quit"), tabrelMacString("Save your spreadsheet edits before quitting?"), nullptr);
    alert->setWindowModality(Qt::ApplicationModal);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    connect(alert, &QMessageBox::buttonClicked, this, [this, alert](QAbstractButton *button) {
        answered(static_cast<int>(tabrelSaveChoice(alert, button)));
    });
    m_alert = alert;
    alert->open();
    return Reply::later;
}

void TabrelApplicationDelegate::answered(int choice) {
    if (choice == cancelChoice) {
        Q_EMIT quitFinished(false);
        return;
    }
    bool busy = false;
    const auto unsaved = unsavedModels(&busy);
    if (choice == discardChoice) {
        for (const auto &model : unsaved) {
            model->clearFailedWrites();
            model->discard();
        }
        m_terminate();
        Q_EMIT quitFinished(true);
        return;
    }
    m_waiting = true;
    const QPointer<TabrelApplicationDelegate> guard(this);
    startDetached(std::make_shared<int>(0), [guard, unsaved]() -> QCoro::Task<> {
        const bool saved = co_await saveEach(unsaved);
        if (!guard)
            co_return;
        guard->m_waiting = false;
        if (saved)
            guard->m_terminate();
        Q_EMIT guard->quitFinished(saved);
    });
}

// The session manager wants its answer before this returns, so the saves are awaited in a local
// event loop here, and only here.
void TabrelApplicationDelegate::commitData(QSessionManager &manager) {
    bool busy = false;
    const auto unsaved = unsavedModels(&busy);
    if (busy) {
        manager.cancel();
        return;
    }
    if (unsaved.isEmpty())
        return;
    if (!manager.allowsInteraction()) {
        // Nobody can be asked: keep the edits by refusing to end quietly.
        manager.cancel();
        return;
    }
    const std::unique_ptr<QMessageBox> alert(makeTabrelSaveAlert(
        tabrelMacString("Quit"), tabrelMacString("Save your spreadsheet edits before quitting?"), nullptr));
    alert->exec();
    manager.release();
    const TabrelSaveChoice choice = tabrelSaveChoice(alert.get(), alert->clickedButton());
    if (choice == TabrelSaveChoice::discard) {
        for (const auto &model : unsaved) {
            model->clearFailedWrites();
            model->discard();
        }
        return;
    }
    if (choice != TabrelSaveChoice::save) {
        manager.cancel();
        return;
    }
    QEventLoop loop;
    auto outcome = std::make_shared<std::optional<bool>>();
    startDetached(outcome, [&loop, outcome, unsaved]() -> QCoro::Task<> {
        *outcome = co_await saveEach(unsaved);
        loop.quit();
    });
    if (!outcome->has_value())
        loop.exec();
    const bool saved = outcome->value_or(false);
    if (!saved)
        manager.cancel();
}
