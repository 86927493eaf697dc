#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

class QAction;
class QMenu;
#include "app/TabrelWorkspace.h"

// The document items of the File menu: Save, Rename, Export, Version history and Share, for the
// window's sheet editor.
class TabrelDocumentMenu : public QObject {
    Q_OBJECT
public:
    TabrelDocumentMenu(QMenu *file, QObject *parent = nullptr);

    void setEditor(TabrelWorkspace *editor);
    QAction *saveAction() const { return m_save; }
    QAction *renameAction() const { return m_rename; }
    QAction *exportAction() const { return m_export; }
    QAction *historyAction() const { return m_history; }
    QAction *shareAction() const { return m_share; }
    void refresh();

private:
    QAction *addPanel(QMenu *file, const QString &text, const QString &panel);

    QPointer<TabrelWorkspace> m_editor;
    QList<QMetaObject::Connection> m_editorConnections;
    QAction *m_save = nullptr;
    QAction *m_rename = nullptr;
    QAction *m_export = nullptr;
    QAction *m_history = nullptr;
    QAction *m_share = nullptr;
};
