#include "sheet/views/SheetDataPanel.h"

#include "sheet/SheetModel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
// "None" (-1), then the columns A to Z.
QComboBox *columnPicker(QWidget *parent) {
    auto *picker = new QComboBox(parent);
    picker->addItem(QObject::tr("None"), qint64(-1));
    for (qint64 c = 0; c < SheetTable::pickerColumns; ++c)
        picker->addItem(Coordinate::columnName(c), c);
    return picker;
}

void choose(QComboBox *picker, const QVariant &value) {
    const int index = picker->findData(value);
    if (index >= 0)
        picker->setCurrentIndex(index);
}
} // namespace

SheetDataPanel::SheetDataPanel(std::shared_ptr<SheetModel> model, QWidget *parent)
    : SheetFeaturePanel(std::move(model), parent) {
    m_sortCol = columnPicker(this);
    m_desc = new QCheckBox(tr("Descending"), this);
    m_filterCol = columnPicker(this);
    m_op = new QComboBox(this);
    for (const QString &op : SheetTable::filterOperators)
        m_op->addItem(op, op);
    m_value = new QLineEdit(this);
    auto *form = new QFormLayout;
    form->addRow(tr("Sort column"), m_sortCol);
    form->addRow(QString(), m_desc);
    form->addRow(tr("Filter column"), m_filterCol);
    form->addRow(tr("Comparison"), m_op);
    form->addRow(tr("Filter value"), m_value);
    column()->addLayout(form);
    m_apply = new QPushButton(tr("Apply and open table"), this);
    m_open = new QPushButton(tr("Open table"), this);
    column()->addWidget(m_apply);
    column()->addWidget(m_open);
    addText(tr("Sorting changes display order. Cell references stay in their original positions."));
    column()->addStretch();

    SheetModel *raw = this->model().get();
    showView();
    connect(&raw->sheetTable(), &SheetTable::viewChanged, this, &SheetDataPanel::showView);
    for (QComboBox *picker : {m_sortCol, m_filterCol, m_op})
        connect(picker, &QComboBox::activated, this, &SheetDataPanel::editView);
    connect(m_desc, &QCheckBox::toggled, this, &SheetDataPanel::editView);
    connect(m_value, &QLineEdit::textEdited, this, &SheetDataPanel::editView);
    const auto updateApply = [this, raw] { m_apply->setEnabled(raw->mayWrite()); };
    updateApply();
    connect(raw, &SheetModel::pageChanged, this, updateApply);
    connect(m_apply, &QPushButton::clicked, this, [this] {
        run([model = this->model(), panel = QPointer<SheetDataPanel>(this)]() -> QCoro::Task<> {
            if (!co_await model->sheetTable().saveView())
                co_return; // the error line says why; the panel stays
            model->setShowTable(true);
            if (panel)
                Q_EMIT panel->done();
        });
    });
    connect(m_open, &QPushButton::clicked, this, [this, raw] {
        raw->setShowTable(true);
        Q_EMIT done();
    });
}

void SheetDataPanel::showEvent(QShowEvent *event) {
    SheetFeaturePanel::showEvent(event);
    run([model = this->model()] { return model->sheetTable().loadTable(); });
}

void SheetDataPanel::showView() {
    const ViewSpec &view = model()->sheetTable().view();
    const QSignalBlocker blockDesc(m_desc);
    choose(m_sortCol, view.sortCol);
    m_desc->setChecked(view.sortDesc);
    choose(m_filterCol, view.filterCol);
    choose(m_op, view.filterOp);
    if (m_value->text() != view.filterVal)
        m_value->setText(view.filterVal);
}

void SheetDataPanel::editView() {
    model()->sheetTable().setView(ViewSpec{m_sortCol->currentData().toLongLong(), m_desc->isChecked(),
                                           m_filterCol->currentData().toLongLong(),
                                           m_op->currentData().toString(), m_value->text()});
}
