#include "sheet/views/SheetTableView.h"

#include "async/DetachedTask.h"
#include "sheet/SheetModel.h"
#include "sheet/views/SheetCellPainter.h"
#include "sheet/views/SheetColor.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace {
constexpr double defaultColumnWidth = 110;
} // namespace

SheetTableView::SheetTableView(std::shared_ptr<SheetModel> model, QWidget *parent)
    : QWidget(parent), m_model(std::move(model)) {
    m_back = new QPushButton(tr("Back to grid"), this);
    m_previous = new QPushButton(tr("Previous page"), this);
    m_page = new QLabel(this);
    m_next = new QPushButton(tr("Next page"), this);
    auto *bar = new QHBoxLayout;
    bar->addWidget(m_back);
    bar->addStretch();
    bar->addWidget(m_previous);
    bar->addWidget(m_page);
    bar->addWidget(m_next);

    m_rows = new SheetTableRows(m_model);
    m_scroll = new QScrollArea(this);
    m_scroll->setWidget(m_rows);
    m_scroll->setWidgetResizable(true);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(m_scroll, 1);

    SheetModel *raw = m_model.get();
    connect(m_back, &QPushButton::clicked, this, [raw] { raw->setShowTable(false); });
    connect(m_previous, &QPushButton::clicked, this, [this] {
        startDetached(m_model, [model = m_model] { return model->sheetTable().previousPage(); });
    });
    connect(m_next, &QPushButton::clicked, this,
            [this] { startDetached(m_model, [model = m_model] { return model->sheetTable().nextPage(); }); });
    SheetTable *table = &m_model->sheetTable();
    connect(table, &SheetTable::tableChanged, this, &SheetTableView::updateBar);
    connect(table, &SheetTable::tablePageChanged, this, &SheetTableView::updateBar);
    connect(raw, &SheetModel::busyChanged, this, &SheetTableView::updateBar);
    connect(raw, &SheetModel::hasUnconfirmedChangesChanged, this, &SheetTableView::updateBar);
    updateBar();
}

SheetTableView::~SheetTableView() = default;

void SheetTableView::updateBar() {
    const SheetTable &table = m_model->sheetTable();
    m_page->setText(tr("Page %1").arg(table.tablePage()));
    m_previous->setEnabled(table.mayGoBack());
    m_next->setEnabled(table.mayGoForward());
    m_rows->updateGeometry();
    m_rows->update();
}

void SheetTableView::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    startDetached(m_model, [model = m_model] { return model->sheetTable().loadTable(); });
}

SheetTableRows::SheetTableRows(std::shared_ptr<SheetModel> model, QWidget *parent)
    : QWidget(parent), m_model(std::move(model)) {
    setAccessibleName(tr("Table rows"));
    connect(m_model.get(), &SheetModel::stylesChanged, this, qOverload<>(&QWidget::update));
    connect(m_model.get(), &SheetModel::sizesChanged, this, [this] {
        updateGeometry();
        update();
    });
}

const QList<TableRow> &SheetTableRows::pageRows() const {
    static const QList<TableRow> none;
    const auto &table = m_model->sheetTable().table();
    return table && table->Rows ? *table->Rows : none;
}

double SheetTableRows::columnWidth(qint64 col) const {
    const auto &cols = m_model->sizes().cols;
    return cols ? cols->value(QString::number(col), defaultColumnWidth) : defaultColumnWidth;
}

QRectF SheetTableRows::cellRect(qsizetype row, qsizetype index) const {
    double x = SheetTableView::numberWidth;
    const QList<TableCell> &cells = pageRows().at(row).Cells;
    for (qsizetype i = 0; i < index; ++i)
        x += columnWidth(cells.at(i).C);
    return QRectF(x, double(row) * rowHeight, columnWidth(cells.at(index).C), rowHeight);
}

std::optional<TableCell> SheetTableRows::cellAt(QPointF point) const {
    const QList<TableRow> &rows = pageRows();
    const qsizetype row = point.y() < 0 ? -1 : qsizetype(point.y() / rowHeight);
    if (row < 0 || row >= rows.size())
        return std::nullopt;
    for (qsizetype i = 0; i < rows.at(row).Cells.size(); ++i) {
        if (cellRect(row, i).contains(point))
            return rows.at(row).Cells.at(i);
    }
    return std::nullopt;
}

QSize SheetTableRows::sizeHint() const {
    double width = SheetTableView::numberWidth;
    for (const TableRow &row : pageRows()) {
        double rowWidth = SheetTableView::numberWidth;
        for (const TableCell &cell : row.Cells)
            rowWidth += columnWidth(cell.C);
        width = std::max(width, rowWidth);
    }
    return QSize(int(std::ceil(width)), int(std::ceil(double(pageRows().size()) * rowHeight)));
}

void SheetTableRows::paintEvent(QPaintEvent *event) {
    QPainter painter(this);
    const bool dark = SheetColor::isDark(palette());
    const QColor label = palette().color(QPalette::Text);
    QColor line = label;
    line.setAlphaF(0.2f);
    const QList<TableRow> &rows = pageRows();
    const qsizetype first = std::max<qsizetype>(0, qsizetype(event->rect().top() / rowHeight));
    const qsizetype last =
        std::min<qsizetype>(rows.size() - 1, qsizetype(event->rect().bottom() / rowHeight));
    for (qsizetype r = first; r <= last; ++r) {
        const double top = double(r) * rowHeight;
        painter.setPen(label);
        painter.drawText(QRectF(0, top, SheetTableView::numberWidth, rowHeight), Qt::AlignCenter,
                         QString::number(rows.at(r).Number));
        for (qsizetype i = 0; i < rows.at(r).Cells.size(); ++i) {
            const TableCell &shown = rows.at(r).Cells.at(i);
            const Coordinate at{shown.R, shown.C};
            // The grid's copy of the cell carries its format key and whether it holds a number.
            const Cell *stored = m_model->cells().find(at);
            Cell cell = stored ? *stored : Cell{shown.R, shown.C, {}, {}, {}, {}};
            cell.raw = shown.Raw;
            cell.display = shown.Display;
            const QRectF rect = cellRect(r, i);
            SheetCellPainter::paint(painter, rect, &cell, m_model->styleOf(at), dark, label);
            painter.setPen(QPen(line, 0));
            painter.drawRect(rect);
        }
    }
}

void SheetTableRows::mousePressEvent(QMouseEvent *event) {
    if (const auto cell = cellAt(event->position()))
        m_model->select({cell->R, cell->C});
    QWidget::mousePressEvent(event);
}
