#include "sheet/views/SheetHistoryPanel.h"

#include "sheet/SheetModel.h"

#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

SheetHistoryPanel::SheetHistoryPanel(std::shared_ptr<SheetModel> model, QWidget *parent)
    : SheetFeaturePanel(std::move(model), parent) {
    m_entries = new QVBoxLayout;
    column()->addLayout(m_entries);
    m_notice = addText(QString());
    column()->addStretch();
    SheetModel *raw = this->model().get();
    connect(&raw->sheetHistory(), &SheetHistory::historyChanged, this, &SheetHistoryPanel::rebuild);
    connect(raw, &SheetModel::pageChanged, this, &SheetHistoryPanel::rebuild);
    const auto showNotice = [this, raw] { m_notice->setText(raw->notice()); };
    connect(raw, &SheetModel::noticeChanged, this, showNotice);
    rebuild();
}

void SheetHistoryPanel::showEvent(QShowEvent *event) {
    SheetFeaturePanel::showEvent(event);
    run([model = this->model()] { return model->sheetHistory().loadHistory(); });
}

void SheetHistoryPanel::rebuild() {
    while (QLayoutItem *item = m_entries->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const bool mayWrite = model()->mayWrite();
    for (const HistoryEntry &entry : model()->sheetHistory().history()) {
        auto *group = new QGroupBox(this);
        auto *layout = new QVBoxLayout(group);
        auto *ref = new QLabel(entry.Ref, group);
        QFont headline = ref->font();
        headline.setBold(true);
        ref->setFont(headline);
        auto *who = new QLabel(entry.Who, group);
        QFont caption = who->font();
        caption.setPointSizeF(caption.pointSizeF() * 0.85);
        who->setFont(caption);
        layout->addWidget(ref);
        layout->addWidget(who);
        for (const QString &text : {tr("Before: ") + entry.Old, tr("After: ") + entry.New}) {
            auto *line = new QLabel(text, group);
            line->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
            line->setTextFormat(Qt::PlainText);
            layout->addWidget(line);
        }
        if (mayWrite) {
            auto *restore = new QPushButton(tr("Restore before this edit"), group);
            connect(restore, &QPushButton::clicked, this,
                    [this, id = entry.ID, name = entry.Ref] { confirmRestore(id, name); });
            layout->addWidget(restore);
        }
        m_entries->addWidget(group);
    }
}

void SheetHistoryPanel::confirmRestore(quint64 entry, const QString &ref) {
    delete m_confirmation;
    m_confirmation =
        new QMessageBox(QMessageBox::Question, tr("Restore before this edit?"),
                        tr("Cells changed since this edit of %1 go back to their earlier text.").arg(ref),
                        QMessageBox::NoButton, this);
    m_confirmation->addButton(tr("Restore"), QMessageBox::AcceptRole);
    m_confirmation->addButton(QMessageBox::Cancel);
    m_confirmation->setWindowModality(Qt::WindowModal);
    connect(m_confirmation, &QMessageBox::finished, this, [this, entry] {
        const bool confirmed =
            m_confirmation->buttonRole(m_confirmation->clickedButton()) == QMessageBox::AcceptRole;
        m_confirmation->deleteLater();
        m_confirmation = nullptr;
        if (confirmed)
            run([model = this->model(), entry]() -> QCoro::Task<> {
                co_await model->sheetHistory().restore(entry);
            });
    });
    m_confirmation->open();
}
