#include "editor/SheetCellMenu.h"

#include "async/DetachedTask.h"
#include "sheet/SheetModel.h"

#include <QCoreApplication>
#include <QMenu>

namespace {
QString mac(const char *text) {
    return QCoreApplication::translate("Mac", text);
}

QCoro::Task<> run(std::shared_ptr<SheetModel> model, SheetMenuTarget target) {
    if (!SheetCellMenu::isCurrent(*model, target))
        co_return;
    if (target.command == u"cut") {
        model->copy();
        co_await model->clear();
    } else if (target.command == u"paste") {
        co_await model->paste();
    } else if (target.command == u"clear") {
        co_await model->clear();
    } else if (target.command == u"down" || target.command == u"right") {
        co_await model->fill(target.command == u"down");
    }
}
} // namespace

bool SheetCellMenu::isCurrent(const SheetModel &model, const SheetMenuTarget &target) {
    return target.range == model.selection() && target.grid == model.grid();
}

QMenu *SheetCellMenu::build(std::shared_ptr<SheetModel> model, QWidget *parent) {
    auto *menu = new QMenu(parent);
    const bool mayWrite = model->mayWrite();
    const auto add = [&](const char *title, const char *command, bool enabled) {
        QAction *action = menu->addAction(mac(title));
        action->setEnabled(enabled);
        const SheetMenuTarget target{QString::fromLatin1(command), model->selection(), model->grid()};
        QObject::connect(action, &QAction::triggered, menu, [model, target] { choose(model, target); });
    };
    add("Cut", "cut", mayWrite);
    add("Copy", "copy", true);
    add("Paste", "paste", mayWrite);
    menu->addSeparator();
    add("Clear contents", "clear", mayWrite);
    menu->addSeparator();
    add("Fill down", "down", mayWrite);
    add("Fill right", "right", mayWrite);
    return menu;
}

void SheetCellMenu::choose(const std::shared_ptr<SheetModel> &model, const SheetMenuTarget &target) {
    if (model->busy() || model->hasUnconfirmedChanges() || !isCurrent(*model, target))
        return;
    if (target.command == u"copy") {
        model->copy();
        return;
    }
    if (!model->mayWrite())
        return;
    startDetached(model, [model, target] { return run(model, target); });
}
