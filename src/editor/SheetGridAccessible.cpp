#include "editor/SheetGridAccessible.h"

#include "editor/SheetGrid.h"
#include "editor/SheetGridHeader.h"
#include "sheet/SheetModel.h"

#include <QCoreApplication>

namespace {
QString mac(const char *text) {
    return QCoreApplication::translate("Mac", text);
}

// An element of the grid without children or an object of its own: a cell or a header button.
class GridPartAccessible : public QAccessibleInterface {
public:
    explicit GridPartAccessible(SheetGrid *grid) : m_grid(grid) {}
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return m_grid ? m_grid->window()->windowHandle() : nullptr; }
    QAccessibleInterface *parent() const override { return QAccessible::queryAccessibleInterface(m_grid); }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    void setText(QAccessible::Text, const QString &) override {}

protected:
    QPointer<SheetGrid> m_grid;
};

// One cell of the grid.
class CellAccessible : public GridPartAccessible, public QAccessibleTableCellInterface {
public:
    CellAccessible(SheetGrid *grid, const Coordinate &cell) : GridPartAccessible(grid), m_cell(cell) {}

    bool isValid() const override {
        return m_grid && m_cell.r < m_grid->model().visibleRows() && m_cell.c < m_grid->model().visibleCols();
    }
    QAccessible::Role role() const override { return QAccessible::Cell; }

    QString text(QAccessible::Text type) const override {
        if (!isValid())
            return {};
        const SheetModel &model = m_grid->model();
        if (type == QAccessible::Name) {
            const Cell *found = model.cells().find(m_cell);
            return m_cell.ref() + QStringLiteral(", ") + (found ? found->display : mac("Empty"));
        }
        if (type == QAccessible::Value) {
            const CellStyle *style = model.styleOf(m_cell);
            if (model.cells().contains(m_cell) && style && style->lc.value_or(false))
                return mac("Imported colours have low contrast");
        }
        return {};
    }

    QRect rect() const override {
        if (!m_grid)
            return {};
        const QRect local = m_grid->cellRect(m_cell);
        return QRect(m_grid->viewport()->mapToGlobal(local.topLeft()), local.size());
    }

    QAccessible::State state() const override {
        QAccessible::State state;
        if (!isValid()) {
            state.invalid = true;
            return state;
        }
        state.selectable = true;
        state.focusable = true;
        state.selected = isSelected();
        state.focused = m_grid->hasFocus() && m_grid->model().selectionAnchor() == m_cell;
        const QRect visible = m_grid->viewport()->rect();
        state.invisible = !m_grid->isVisible();
        state.offscreen = !visible.intersects(m_grid->cellRect(m_cell));
        return state;
    }

    void *interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TableCellInterface)
            return static_cast<QAccessibleTableCellInterface *>(this);
        return nullptr;
    }

    bool isSelected() const override { return m_grid && m_grid->model().selection().contains(m_cell); }
    QList<QAccessibleInterface *> columnHeaderCells() const override { return header(true); }
    QList<QAccessibleInterface *> rowHeaderCells() const override { return header(false); }
    int columnIndex() const override { return int(m_cell.c); }
    int rowIndex() const override { return int(m_cell.r); }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface *table() const override { return parent(); }

private:
    QList<QAccessibleInterface *> header(bool column) const {
        auto *grid = dynamic_cast<SheetGridAccessible *>(parent());
        if (!grid)
            return {};
        return {grid->child(column ? grid->columnHeaderIndex(m_cell.c) : grid->rowHeaderIndex(m_cell.r))};
    }

    Coordinate m_cell;
};

// A column or row header: a button that selects its column or row.
class HeaderAccessible : public GridPartAccessible, public QAccessibleActionInterface {
public:
    HeaderAccessible(SheetGrid *grid, bool column, qint64 index)
        : GridPartAccessible(grid), m_column(column), m_index(index) {}

    bool isValid() const override {
        return m_grid && m_index < (m_column ? m_grid->model().visibleCols() : m_grid->model().visibleRows());
    }
    QAccessible::Role role() const override { return QAccessible::Button; }
    QString text(QAccessible::Text type) const override {
        if (type != QAccessible::Name)
            return {};
        return m_column ? mac("Select column %1").arg(Coordinate::columnName(m_index))
                        : mac("Select row %1").arg(m_index + 1);
    }
    QRect rect() const override {
        if (!m_grid)
            return {};
        SheetGridHeader *header = m_column ? m_grid->columnHeader() : m_grid->rowHeader();
        const QRect local = header->sectionRect(m_index);
        return QRect(header->mapToGlobal(local.topLeft()), local.size());
    }
    QAccessible::State state() const override {
        QAccessible::State state;
        state.invalid = !isValid();
        return state;
    }
    void *interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ActionInterface)
            return static_cast<QAccessibleActionInterface *>(this);
        return nullptr;
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString &name) override {
        if (name != pressAction() || !isValid())
            return;
        if (m_column)
            m_grid->selectColumn(m_index);
        else
            m_grid->selectRow(m_index);
    }
    QStringList keyBindingsForAction(const QString &) const override { return {}; }

private:
    bool m_column;
    qint64 m_index;
};
} // namespace

SheetGridAccessible::SheetGridAccessible(SheetGrid *grid) : QAccessibleWidget(grid, QAccessible::Table) {
    m_rows = grid->model().visibleRows();
    m_cols = grid->model().visibleCols();
}

SheetGridAccessible::~SheetGridAccessible() {
    for (QAccessible::Id id : std::as_const(m_children))
        QAccessible::deleteAccessibleInterface(id);
}

QAccessibleInterface *SheetGridAccessible::factory(const QString &className, QObject *object) {
    if (className == QLatin1String("SheetGrid") && object && object->isWidgetType())
        return new SheetGridAccessible(static_cast<SheetGrid *>(object));
    return nullptr;
}

SheetGrid *SheetGridAccessible::grid() const {
    return static_cast<SheetGrid *>(widget());
}

void SheetGridAccessible::forgetChildren() {
    dropChildren();
}

void SheetGridAccessible::dropChildren() const {
    for (QAccessible::Id id : std::as_const(m_children))
        QAccessible::deleteAccessibleInterface(id);
    m_children.clear();
    m_rows = grid() ? grid()->model().visibleRows() : 0;
    m_cols = grid() ? grid()->model().visibleCols() : 0;
}

void SheetGridAccessible::followShape() const {
    if (grid() && (grid()->model().visibleRows() != m_rows || grid()->model().visibleCols() != m_cols))
        dropChildren();
}

void *SheetGridAccessible::interface_cast(QAccessible::InterfaceType type) {
    if (type == QAccessible::TableInterface)
        return static_cast<QAccessibleTableInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

int SheetGridAccessible::rowCount() const {
    followShape();
    return int(m_rows);
}
int SheetGridAccessible::columnCount() const {
    followShape();
    return int(m_cols);
}
int SheetGridAccessible::childCount() const {
    followShape();
    return int(m_rows * m_cols + m_cols + m_rows);
}
int SheetGridAccessible::cellIndex(const Coordinate &cell) const {
    return int(cell.r * m_cols + cell.c);
}
int SheetGridAccessible::columnHeaderIndex(qint64 column) const {
    return int(m_rows * m_cols + column);
}
int SheetGridAccessible::rowHeaderIndex(qint64 row) const {
    return int(m_rows * m_cols + m_cols + row);
}

QAccessibleInterface *SheetGridAccessible::makeChild(int index) const {
    const qint64 cells = m_rows * m_cols;
    if (index < cells)
        return new CellAccessible(grid(), {index / m_cols, index % m_cols});
    if (index < cells + m_cols)
        return new HeaderAccessible(grid(), true, index - cells);
    return new HeaderAccessible(grid(), false, index - cells - m_cols);
}

QAccessibleInterface *SheetGridAccessible::child(int index) const {
    if (index < 0 || index >= childCount())
        return nullptr;
    const auto found = m_children.constFind(index);
    if (found != m_children.constEnd())
        return QAccessible::accessibleInterface(*found);
    QAccessibleInterface *made = makeChild(index);
    m_children.insert(index, QAccessible::registerAccessibleInterface(made));
    return made;
}

int SheetGridAccessible::indexOfChild(const QAccessibleInterface *child) const {
    if (!child)
        return -1;
    const QAccessible::Id id = QAccessible::uniqueId(const_cast<QAccessibleInterface *>(child));
    for (auto it = m_children.cbegin(); it != m_children.cend(); ++it)
        if (it.value() == id)
            return it.key();
    return -1;
}

QAccessibleInterface *SheetGridAccessible::childAt(int x, int y) const {
    SheetGrid *view = grid();
    const QPoint local = view->viewport()->mapFromGlobal(QPoint(x, y));
    if (const auto cell = view->cellAt(local))
        return child(cellIndex(*cell));
    return nullptr;
}

QAccessibleInterface *SheetGridAccessible::cellAt(int row, int column) const {
    followShape();
    if (row < 0 || column < 0 || row >= m_rows || column >= m_cols)
        return nullptr;
    return child(cellIndex({row, column}));
}

QString SheetGridAccessible::columnDescription(int column) const {
    return Coordinate::columnName(column);
}
QString SheetGridAccessible::rowDescription(int row) const {
    return QString::number(row + 1);
}

int SheetGridAccessible::selectedCellCount() const {
    const CellRange selection = grid()->model().selection();
    return int((selection.end.r - selection.start.r + 1) * (selection.end.c - selection.start.c + 1));
}

QList<QAccessibleInterface *> SheetGridAccessible::selectedCells() const {
    QList<QAccessibleInterface *> cells;
    const CellRange selection = grid()->model().selection();
    for (const Coordinate &cell : selection.coordinates())
        if (QAccessibleInterface *found = cellAt(int(cell.r), int(cell.c)))
            cells.append(found);
    return cells;
}

bool SheetGridAccessible::selectRow(int row) {
    grid()->selectRow(row);
    return true;
}

bool SheetGridAccessible::selectColumn(int column) {
    grid()->selectColumn(column);
    return true;
}
