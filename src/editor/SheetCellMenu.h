#pragma once

#include "sheet/Coordinate.h"

#include <QString>

#include <memory>

class QMenu;
class QWidget;
class SheetModel;

// What a context-menu item acts on: its command and the selection and grid it was built for, so
// that a menu left open while the sheet changed does nothing.
struct SheetMenuTarget {
    QString command; // "cut", "copy", "paste", "clear", "down", "right"
    CellRange range;
    QString grid;
};

// The context menu of a grid cell: Cut, Copy, Paste, Clear contents, Fill down, Fill right.
class SheetCellMenu {
public:
    // A new menu for the model's selection; the caller owns it.
    static QMenu *build(std::shared_ptr<SheetModel> model, QWidget *parent);
    // Runs a chosen item, unless the menu is stale or the model refuses changes.
    static void choose(const std::shared_ptr<SheetModel> &model, const SheetMenuTarget &target);
    // Whether the target still names the model's selection and grid.
    static bool isCurrent(const SheetModel &model, const SheetMenuTarget &target);
};
