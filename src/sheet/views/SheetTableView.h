#pragma once

#include "sheet/SheetWire.h"

#include <QWidget>

#include <memory>

class QLabel;
class QPushButton;
class QScrollArea;
class SheetModel;
class SheetTableRows;

// The sorted and filtered table of the open sheet, shown by the workspace instead of the grid: a
// bar with "Back to grid", the page buttons and the page number, and below it the page's rows,
// each cell painted as the grid paints it. Clicking a cell selects its real position in the grid.
// Reloads the page each time it is shown.
class SheetTableView : public QWidget {
    Q_OBJECT

public:
    static constexpr int numberWidth = 48;

    explicit SheetTableView(std::shared_ptr<SheetModel> model, QWidget *parent = nullptr);
    ~SheetTableView() override;

    QPushButton *backButton() const { return m_back; }
    QPushButton *previousButton() const { return m_previous; }
    QPushButton *nextButton() const { return m_next; }
    QLabel *pageLabel() const { return m_page; }
    SheetTableRows *rows() const { return m_rows; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void updateBar();

    std::shared_ptr<SheetModel> m_model;
    QPushButton *m_back = nullptr;
    QPushButton *m_previous = nullptr;
    QPushButton *m_next = nullptr;
    QLabel *m_page = nullptr;
    QScrollArea *m_scroll = nullptr;
    SheetTableRows *m_rows = nullptr;
};

// The painted rows of the table: a number box, then the row's cells at their columns' widths.
class SheetTableRows : public QWidget {
    Q_OBJECT

public:
    static constexpr double rowHeight = 32;

    explicit SheetTableRows(std::shared_ptr<SheetModel> model, QWidget *parent = nullptr);

    // The cell drawn at `point`, if any.
    std::optional<TableCell> cellAt(QPointF point) const;
    // Where the cell of row `row` (index in the page) and position `index` in that row is drawn.
    QRectF cellRect(qsizetype row, qsizetype index) const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    double columnWidth(qint64 col) const;
    const QList<TableRow> &pageRows() const;

    std::shared_ptr<SheetModel> m_model;
};
