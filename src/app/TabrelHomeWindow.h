#pragma once

#include "app/TabrelWindowActions.h"

#include <QMainWindow>

#include <QUuid>

#include <functional>
#include <memory>

class NativeConnection;
class TabrelAccountWindow;
class TabrelEditorCommands;
class TabrelWindowCommands;
class TabrelWindows;
struct SheetModelEnvironment;

// The one Home window ("home"): the account window with its menus. Closing it only hides it.
class TabrelHomeWindow : public QMainWindow {
    Q_OBJECT
public:
    using Actions = TabrelWindowActions;

    TabrelHomeWindow(std::shared_ptr<NativeConnection> connection, TabrelWindows *windows, Actions actions,
                     const QString &appearance, const SheetModelEnvironment &environment);

    TabrelAccountWindow *accountWindow() const { return m_account; }
    TabrelWindowCommands *commands() const { return m_commands; }
    TabrelEditorCommands *editorCommands() const { return m_editorCommands; }

private:
    TabrelAccountWindow *m_account = nullptr;
    TabrelWindowCommands *m_commands = nullptr;
    TabrelEditorCommands *m_editorCommands = nullptr;
};
