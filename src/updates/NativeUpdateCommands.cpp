#include "NativeUpdateCommands.h"

#include "updates/NativeUpdater.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QMessageBox>

NativeUpdateCommands::NativeUpdateCommands(NativeUpdater &updater, QWidget *window, QObject *parent)
    : QObject(parent), m_updater(updater), m_window(window),
      m_check(new QAction(QCoreApplication::translate("Mac", "Check for Updates\u2026"), this)),
      m_automatic(new QAction(QCoreApplication::translate("Mac", "Automatically Check for Updates"), this)) {
    m_check->setMenuRole(QAction::ApplicationSpecificRole);
    m_check->setEnabled(updater.canCheckForUpdates());
    connect(m_check, &QAction::triggered, &updater, &NativeUpdater::checkForUpdates);
    connect(&updater, &NativeUpdater::canCheckForUpdatesChanged, m_check, &QAction::setEnabled);

    m_automatic->setCheckable(true);
    m_automatic->setChecked(updater.automaticallyChecksForUpdates());
    m_automatic->setEnabled(updater.isConfigured());
    connect(m_automatic, &QAction::toggled, &updater, &NativeUpdater::setAutomaticallyChecksForUpdates);
    connect(&updater, &NativeUpdater::automaticChecksChanged, m_automatic, &QAction::setChecked);

    if (NativeFeedUpdater *controller = updater.controller()) {
        connect(controller, &NativeFeedUpdater::checkFinished, this,
                [this](NativeFeedUpdater::Outcome outcome, const QString &message, bool userInitiated) {
                    // A quiet daily check speaks up only about a package it had to refuse.
                    if (userInitiated || outcome == NativeFeedUpdater::Outcome::Refused)
                        show(message);
                });
    }
}

NativeUpdateCommands::~NativeUpdateCommands() {
    delete m_alert;
}

void NativeUpdateCommands::addTo(QMenu *menu) const {
    menu->addSeparator();
    menu->addAction(m_check);
    menu->addAction(m_automatic);
}

void NativeUpdateCommands::show(const QString &message) {
    delete m_alert;
    m_alert = new QMessageBox(QMessageBox::Information, QCoreApplication::translate("Mac", "Software Update"),
                              message, QMessageBox::Ok, m_window);
    m_alert->setWindowModality(Qt::WindowModal);
    m_alert->open();
}
