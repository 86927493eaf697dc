#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

class QAction;
class QMenu;
class QMenuBar;
class SheetFormatMenu;
#include "app/TabrelWorkspace.h"

// The Edit, Insert, Format and Sheet menus of a window, acting on the sheet editor of that window.
// Edit commands go to the focused text field when one has focus, otherwise to the grid.
class TabrelEditorCommands : public QObject {
    Q_OBJECT
public:
    TabrelEditorCommands(QMenuBar *bar, QObject *parent = nullptr);

    // The window's editor (a workspace with a document); null in windows without one.
    void setEditor(TabrelWorkspace *editor);
    TabrelWorkspace *editor() const { return m_editor; }
    // An editor is present and its sheet may be changed now.
    bool writable() const;
    bool pageLoaded() const;

    QAction *action(const QString &text) const;
    void refresh();

private:
    enum class EditCommand { undo, redo, cut, copy, paste, selectAll };
    void route(EditCommand command);
    void gridAction(EditCommand command);
    QAction *add(QMenu *menu, const QString &text, const QKeySequence &shortcut = {});
    void showCellFormats(const std::shared_ptr<SheetModel> &model);

    QMenuBar *m_bar;
    QMenu *m_format = nullptr;
    SheetFormatMenu *m_cellFormats = nullptr;
    QPointer<TabrelWorkspace> m_editor;
    QList<QMetaObject::Connection> m_editorConnections;
    QList<QAction *> m_writable;
    QList<QAction *> m_needsPage;
};
