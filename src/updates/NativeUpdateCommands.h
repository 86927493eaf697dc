#pragma once

#include <QObject>
#include <QPointer>

class NativeUpdater;
class QAction;
class QMenu;
class QMessageBox;
class QWidget;

// The two update items of the application menu: "Check for Updates…", enabled while the updater
// can check, and the "Automatically Check for Updates" toggle, enabled while updating is
// configured. Results of checks the person asked for (and refused packages) are shown in a message
// box over `window`.
class NativeUpdateCommands : public QObject {
    Q_OBJECT
public:
    NativeUpdateCommands(NativeUpdater &updater, QWidget *window = nullptr, QObject *parent = nullptr);
    ~NativeUpdateCommands() override;

    QAction *checkAction() const { return m_check; }
    QAction *automaticAction() const { return m_automatic; }
    // Appends a separator and both items to `menu`.
    void addTo(QMenu *menu) const;

private:
    void show(const QString &message);

    NativeUpdater &m_updater;
    QPointer<QWidget> m_window;
    QAction *m_check;
    QAction *m_automatic;
    QPointer<QMessageBox> m_alert;
};
