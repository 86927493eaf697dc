#include "app/TabrelDocumentMenu.h"

#include "app/TabrelStrings.h"
#include "app/TabrelWorkspace.h"
#include "async/DetachedTask.h"

#include <QMenu>

TabrelDocumentMenu::TabrelDocumentMenu(QMenu *file, QObject *parent) : QObject(parent) {
    m_save = file->addAction(tabrelMacString("Save"));
    m_save->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    connect(m_save, &QAction::triggered, this, [this] {
        if (m_editor && m_editor->model()->page())
            startDetached(m_editor->model(), [model = m_editor->model()] { return model->saveAll(); });
    });
    m_rename = addPanel(file, tabrelMacString("Rename…"), QStringLiteral("Rename"));
    m_export = addPanel(file, tabrelMacString("Export workbook…"), QStringLiteral("Export"));
    m_history = addPanel(file, tabrelMacString("Version history…"), QStringLiteral("History"));
    m_share = addPanel(file, tabrelMacString("Share…"), QStringLiteral("Share"));
    connect(file, &QMenu::aboutToShow, this, &TabrelDocumentMenu::refresh);
    refresh();
}

QAction *TabrelDocumentMenu::addPanel(QMenu *file, const QString &text, const QString &panel) {
    QAction *action = file->addAction(text);
    connect(action, &QAction::triggered, this, [this, action, panel] {
        refresh();
        if (m_editor && action->isEnabled())
            m_editor->openPanel(panel);
    });
    return action;
}

void TabrelDocumentMenu::setEditor(TabrelWorkspace *editor) {
    m_editor = TabrelWorkspace::followEditor(
        editor, this, [this] { refresh(); }, m_editorConnections);
    refresh();
}

void TabrelDocumentMenu::refresh() {
    const SheetModel *model = m_editor ? m_editor->model().get() : nullptr;
    const bool loaded = model && model->page();
    const bool writable = model && model->mayWrite() && !model->busy() && !model->hasUnconfirmedChanges();
    m_save->setEnabled(loaded);
    m_rename->setEnabled(writable);
    m_export->setEnabled(loaded);
    m_history->setEnabled(loaded);
    m_share->setEnabled(loaded && model->page()->MayShare);
}
