#include "app/TabrelEditorCommands.h"

#include "app/TabrelStrings.h"
#include "app/TabrelWorkspace.h"
#include "async/DetachedTask.h"
#include "sheet/Coordinate.h"
#include "sheet/views/SheetFormatMenu.h"

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTextEdit>

TabrelEditorCommands::TabrelEditorCommands(QMenuBar *bar, QObject *parent) : QObject(parent), m_bar(bar) {
    QMenu *edit = bar->addMenu(tabrelMacString("&Edit"));
    const struct {
        const char *text;
        QKeySequence shortcut;
        EditCommand command;
    } editItems[] = {
        {"Undo", QKeySequence(Qt::CTRL | Qt::Key_Z), EditCommand::undo},
        {"Redo", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), EditCommand::redo},
        {"Cut", QKeySequence(Qt::CTRL | Qt::Key_X), EditCommand::cut},
        {"Copy", QKeySequence(Qt::CTRL | Qt::Key_C), EditCommand::copy},
        {"Paste", QKeySequence(Qt::CTRL | Qt::Key_V), EditCommand::paste},
        {"Select all", QKeySequence(Qt::CTRL | Qt::Key_A), EditCommand::selectAll},
    };
    for (const auto &item : editItems) {
        QAction *action = add(edit, tabrelMacString(item.text), item.shortcut);
        if (item.command == EditCommand::paste)
            edit->insertSeparator(action);
        const EditCommand command = item.command;
        connect(action, &QAction::triggered, this, [this, command] { route(command); });
    }
    edit->addSeparator();
    auto modelTask = [this](auto start) {
        return [this, start] {
            if (m_editor && writable())
                startDetached(m_editor->model(), [model = m_editor->model(), start] { return start(model); });
        };
    };
    QAction *clear = add(edit, tabrelMacString("Clear contents"));
    connect(clear, &QAction::triggered, this, modelTask([](auto model) { return model->clear(); }));
    QAction *fillDown = add(edit, tabrelMacString("Fill down"), QKeySequence(Qt::CTRL | Qt::Key_D));
    connect(fillDown, &QAction::triggered, this, modelTask([](auto model) { return model->fill(true); }));
    QAction *fillRight = add(edit, tabrelMacString("Fill right"));
    connect(fillRight, &QAction::triggered, this, modelTask([](auto model) { return model->fill(false); }));
    m_writable << clear << fillDown << fillRight;

    QMenu *insert = bar->addMenu(tabrelMacString("&Insert"));
    for (const char *name : {"SUM", "AVERAGE", "COUNT", "MIN", "MAX"}) {
        QAction *action = add(insert, QString::fromLatin1(name));
        const QString function = QString::fromLatin1(name);
        connect(action, &QAction::triggered, this,
                modelTask([function](auto model) { return model->insertFunction(function); }));
        m_writable << action;
    }

    QMenu *format = bar->addMenu(tabrelMacString("F&ormat"));
    m_format = format;
    QAction *sizes = add(format, tabrelMacString("Row and column sizes…"));
    connect(sizes, &QAction::triggered, this, [this] {
        if (m_editor && writable())
            m_editor->openPanel(QStringLiteral("Sizes"));
    });
    QAction *fit = add(format, tabrelMacString("Fit column to contents"));
    connect(fit, &QAction::triggered, this,
            modelTask([](auto model) { return model->fitColumn(model->selectionAnchor().c); }));
    m_writable << sizes << fit;

    QMenu *sheet = bar->addMenu(tabrelMacString("&Sheet"));
    QAction *data = add(sheet, tabrelMacString("Sort and filter…"));
    connect(data, &QAction::triggered, this, [this] {
        if (pageLoaded())
            m_editor->openPanel(QStringLiteral("Data"));
    });
    QAction *comments = add(sheet, tabrelMacString("Comments…"));
    connect(comments, &QAction::triggered, this, [this] {
        if (pageLoaded())
            m_editor->openPanel(QStringLiteral("Comments"));
    });
    QAction *refreshSheet = add(sheet, tabrelMacString("Refresh"));
    connect(refreshSheet, &QAction::triggered, this, [this] {
        if (pageLoaded())
            startDetached(m_editor->model(), [model = m_editor->model()] { return model->refresh(); });
    });
    m_needsPage << data << comments << refreshSheet;

    for (QMenu *menu : {edit, insert, format, sheet})
        connect(menu, &QMenu::aboutToShow, this, &TabrelEditorCommands::refresh);
    refresh();
}

QAction *TabrelEditorCommands::add(QMenu *menu, const QString &text, const QKeySequence &shortcut) {
    QAction *action = menu->addAction(text);
    action->setObjectName(text);
    if (!shortcut.isEmpty())
        action->setShortcut(shortcut);
    return action;
}

QAction *TabrelEditorCommands::action(const QString &text) const {
    return m_bar->findChild<QAction *>(text);
}

void TabrelEditorCommands::setEditor(TabrelWorkspace *editor) {
    m_editor = TabrelWorkspace::followEditor(
        editor, this, [this] { refresh(); }, m_editorConnections);
    if (m_editor)
        showCellFormats(m_editor->model());
    refresh();
}

// The cell format items (bold, italic, alignment, number format, colours) head the Format menu of a
// window with a sheet; a window shows one sheet for its whole life, so they are made once.
void TabrelEditorCommands::showCellFormats(const std::shared_ptr<SheetModel> &model) {
    if (m_cellFormats)
        return;
    m_cellFormats = new SheetFormatMenu(model, m_bar);
    QAction *first = m_format->actions().value(0);
    m_format->insertActions(first, m_cellFormats->actions());
    m_format->insertSeparator(first);
}

bool TabrelEditorCommands::pageLoaded() const {
    return m_editor && m_editor->model()->page().has_value();
}

bool TabrelEditorCommands::writable() const {
    if (!m_editor)
        return false;
    const SheetModel &model = *m_editor->model();
    return model.mayWrite() && !model.busy() && !model.hasUnconfirmedChanges();
}

void TabrelEditorCommands::refresh() {
    const bool canWrite = writable();
    for (QAction *action : std::as_const(m_writable))
        action->setEnabled(canWrite);
    const bool loaded = pageLoaded();
    for (QAction *action : std::as_const(m_needsPage))
        action->setEnabled(loaded);
}

// A text field with focus gets the command itself (its own typing undo); otherwise the grid.
void TabrelEditorCommands::route(EditCommand command) {
    QWidget *focus = QApplication::focusWidget();
    if (qobject_cast<QLineEdit *>(focus) || qobject_cast<QTextEdit *>(focus) ||
        qobject_cast<QPlainTextEdit *>(focus)) {
        static const char *const names[] = {"undo", "redo", "cut", "copy", "paste", "selectAll"};
        QMetaObject::invokeMethod(focus, names[static_cast<int>(command)]);
        return;
    }
    if (m_editor && m_editor->model()->gridFocused())
        gridAction(command);
}

void TabrelEditorCommands::gridAction(EditCommand command) {
    const std::shared_ptr<SheetModel> model = m_editor->model();
    switch (command) {
    case EditCommand::undo:
        startDetached(model,
                      [model]() -> QCoro::Task<> { co_await model->command(QStringLiteral("/undo"), {}); });
        break;
    case EditCommand::redo:
        break; // the server keeps no redo
    case EditCommand::cut:
        if (model->mayWrite() && !model->hasUnconfirmedChanges()) {
            model->copy();
            startDetached(model, [model] { return model->clear(); });
        }
        break;
    case EditCommand::copy:
        model->copy();
        break;
    case EditCommand::paste:
        startDetached(model, [model] { return model->paste(); });
        break;
    case EditCommand::selectAll:
        model->setRangeText(
            CellRange{Coordinate{0, 0}, Coordinate{model->visibleRows() - 1, model->visibleCols() - 1}}
                .text());
        model->selectRange();
        break;
    }
}
