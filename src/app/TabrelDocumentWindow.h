#pragma once

#include "app/TabrelWindowActions.h"

#include <QMainWindow>
#include <QPointer>
#include <QUuid>

#include <functional>

class TabrelDocumentMenu;
class TabrelEditorCommands;
class TabrelWindowCommands;
#include "app/TabrelWindows.h"
#include "app/TabrelWorkspace.h"
struct SheetModelEnvironment;

// A window ("document") showing one spreadsheet of the registry, found by its entry's id. Without
// such an entry it points the way back to Home.
class TabrelDocumentWindow : public QMainWindow {
    Q_OBJECT
public:
    using Actions = TabrelWindowActions;

    TabrelDocumentWindow(TabrelWindows *windows, const QUuid &id, Actions actions, const QString &appearance,
                         const SheetModelEnvironment &environment);
    ~TabrelDocumentWindow() override;

    const QUuid &id() const { return m_id; }
    // Null when the window shows no document.
    TabrelWorkspace *workspace() const { return m_workspace; }
    TabrelWindowCommands *commands() const { return m_commands; }
    TabrelEditorCommands *editorCommands() const { return m_editorCommands; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    QPointer<TabrelWindows> m_windows;
    QUuid m_id;
    QString m_account;
    QPointer<TabrelWorkspace> m_workspace;
    TabrelWindowCommands *m_commands = nullptr;
    TabrelEditorCommands *m_editorCommands = nullptr;
};
