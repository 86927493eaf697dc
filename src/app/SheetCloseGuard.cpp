#include "app/SheetCloseGuard.h"

#include "app/TabrelSaveAlert.h"
#include "app/TabrelStrings.h"
#include "async/DetachedTask.h"
#include "sheet/SheetModel.h"

#include <QCloseEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>

namespace {
// Touched on the GUI thread only; entries of destroyed guards are dropped on the next visit.
QList<QPointer<SheetCloseGuard>> &guards() {
    static QList<QPointer<SheetCloseGuard>> list;
    return list;
}
void compact() {
    guards().removeIf([](const QPointer<SheetCloseGuard> &guard) { return guard.isNull(); });
}
enum Choice { save = 0, discardChoice = 1, cancelChoice = 2 };
} // namespace

SheetCloseGuard::SheetCloseGuard(std::shared_ptr<SheetModel> model, QObject *parent)
    : QObject(parent), m_model(std::move(model)) {}

SheetCloseGuard::~SheetCloseGuard() {
    if (m_alert)
        m_alert->deleteLater();
}

void SheetCloseGuard::attach(QWidget *window) {
    compact();
    if (!guards().contains(this))
        guards().append(this);
    if (m_window == window)
        return;
    if (m_window)
        m_window->removeEventFilter(this);
    m_window = window;
    window->installEventFilter(this);
}

QList<std::shared_ptr<SheetModel>> SheetCloseGuard::liveModels() {
    compact();
    QList<std::shared_ptr<SheetModel>> models;
    for (const auto &guard : guards()) {
        if (auto model = guard->m_model.lock())
            models.append(std::move(model));
    }
    return models;
}

bool SheetCloseGuard::hasUnsavedWork(const SheetModel &model) {
    return model.draft() != model.originalDraft() || !model.failedWrites().isEmpty();
}

bool SheetCloseGuard::eventFilter(QObject *watched, QEvent *event) {
    if (watched != m_window || event->type() != QEvent::Close)
        return false;
    const auto model = m_model.lock();
    if (!model)
        return false;
    if (model->busy()) {
        model->setError(tabrelMacString("Wait for the current save to finish before closing this window."));
        event->ignore();
        return true;
    }
    if (model->hasUnconfirmedChanges()) {
        event->ignore();
        ask();
        return true;
    }
    return false;
}

void SheetCloseGuard::ask() {
    if (m_alert) {
        m_alert->raise();
        return;
    }
    QMessageBox *alert = makeTabrelSaveAlert(tabrelMacString("Keep your cell edit?"),
                                             tabrelMacString("Keep your cell edit?"), m_window);
    alert->setInformativeText(tabrelMacString("This cell has changes that have not been saved."));
    alert->setWindowModality(Qt::WindowModal);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    connect(alert, &QMessageBox::buttonClicked, this, [this, alert](QAbstractButton *button) {
        answered(static_cast<int>(tabrelSaveChoice(alert, button)));
    });
    m_alert = alert;
    alert->open();
}

void SheetCloseGuard::answered(int choice) {
    const auto model = m_model.lock();
    if (!model || choice == cancelChoice)
        return;
    const QPointer<QWidget> window = m_window;
    if (choice == discardChoice) {
        model->clearFailedWrites();
        model->discard();
        if (window)
            window->close();
        return;
    }
    startDetached(model, [model, window]() -> QCoro::Task<> {
        co_await model->saveAll();
        // A failed save keeps the window and the edit; the model shows why.
        if (window && !model->hasUnconfirmedChanges())
            window->close();
    });
}
