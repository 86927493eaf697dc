#pragma once

#include "sheet/Coordinate.h"

#include <QAccessibleWidget>
#include <QHash>
#include <QPointer>

class SheetGrid;

// The grid as an accessible table: one cell interface per cell (named "A1, text" or "A1, Empty",
// selected when inside the selection), followed by the column and row header buttons. Cell
// interfaces are made when first asked for and kept until the sheet's shape changes.
class SheetGridAccessible : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit SheetGridAccessible(SheetGrid *grid);
    ~SheetGridAccessible() override;

    // Installed once by the grid; answers for SheetGrid objects only.
    static QAccessibleInterface *factory(const QString &className, QObject *object);

    int childCount() const override;
    QAccessibleInterface *child(int index) const override;
    int indexOfChild(const QAccessibleInterface *child) const override;
    QAccessibleInterface *childAt(int x, int y) const override;
    void *interface_cast(QAccessible::InterfaceType type) override;

    QAccessibleInterface *caption() const override { return nullptr; }
    QAccessibleInterface *summary() const override { return nullptr; }
    QAccessibleInterface *cellAt(int row, int column) const override;
    int columnCount() const override;
    int rowCount() const override;
    QString columnDescription(int column) const override;
    QString rowDescription(int row) const override;
    int selectedCellCount() const override;
    QList<QAccessibleInterface *> selectedCells() const override;
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override { return 0; }
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override { return {}; }
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int) const override { return false; }
    bool selectRow(int row) override;
    bool selectColumn(int column) override;
    bool unselectRow(int) override { return false; }
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent *) override {}

    // The child index of a cell, and of a column or row header button.
    int cellIndex(const Coordinate &cell) const;
    int columnHeaderIndex(qint64 column) const;
    int rowHeaderIndex(qint64 row) const;
    // Drops every child interface (the sheet's shape changed).
    void forgetChildren();

private:
    SheetGrid *grid() const;
    QAccessibleInterface *makeChild(int index) const;
    // Child indexes depend on the sheet's shape: a new shape drops the children made for the old.
    void followShape() const;
    void dropChildren() const;

    mutable QHash<int, QAccessible::Id> m_children;
    mutable qint64 m_rows = 0;
    mutable qint64 m_cols = 0;
};
