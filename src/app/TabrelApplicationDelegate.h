#pragma once

#include <QObject>
#include <QPointer>

#include <functional>

#include <QMessageBox>
class QSessionManager;

// Decides whether the application may quit: never while a save is in flight; with unsaved edits
// it asks "Save", "Discard" or "Cancel", and a quit after "Save" waits for the saves it started and
// goes ahead only when all of them were confirmed.
class TabrelApplicationDelegate : public QObject {
    Q_OBJECT
public:
    // `terminate` ends the application (QApplication::quit by default).
    explicit TabrelApplicationDelegate(std::function<void()> terminate = {}, QObject *parent = nullptr);

    enum class Reply { now, cancel, later };
    // Asks to quit. `later` means the answer comes through quitFinished once the saves end.
    Reply requestQuit();
    QMessageBox *alert() const { return m_alert; }
    bool waiting() const { return m_waiting; }

    // The desktop session is ending (log out, shut down): the same checks, answered at once.
    void commitData(QSessionManager &manager);

Q_SIGNALS:
    // The answer to a quit that waited for saves: true when it went ahead.
    void quitFinished(bool terminated);

private:
    void answered(int choice);
    void saveThenQuit();

    std::function<void()> m_terminate;
    QPointer<QMessageBox> m_alert;
    bool m_waiting = false;
};
