#include "editor/SheetStatusBar.h"

#include "sheet/SheetModel.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>

SheetStatusBar::SheetStatusBar(std::shared_ptr<SheetModel> model, QWidget *parent)
    : QWidget(parent), m_model(std::move(model)), m_tab(new QLabel(this)), m_progress(new QProgressBar(this)),
      m_notice(new QLabel(this)), m_live(new QLabel(this)) {
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(8);
    QFont caption = font();
    caption.setPixelSize(11);
    for (QLabel *label : {m_tab, m_notice, m_live})
        label->setFont(caption);
    m_live->setForegroundRole(QPalette::PlaceholderText);
    m_progress->setRange(0, 0);
    m_progress->setTextVisible(false);
    m_progress->setFixedSize(60, 8);
    m_progress->setAccessibleName(QCoreApplication::translate("Mac", "Working"));
    layout->addWidget(m_tab);
    layout->addWidget(m_progress, 0, Qt::AlignVCenter);
    layout->addWidget(m_notice, 1);
    layout->addWidget(m_live);

    SheetModel *observed = m_model.get();
    for (auto signal :
         {&SheetModel::pageChanged, &SheetModel::busyChanged, &SheetModel::draftChanged,
          &SheetModel::originalDraftChanged, &SheetModel::noticeChanged, &SheetModel::liveChanged})
        connect(observed, signal, this, &SheetStatusBar::follow);
    follow();
}

QString SheetStatusBar::tabText() const {
    return m_tab->text();
}
QString SheetStatusBar::noticeText() const {
    return m_notice->text();
}
QString SheetStatusBar::liveText() const {
    return m_live->text();
}
bool SheetStatusBar::showsProgress() const {
    return !m_progress->isHidden();
}

void SheetStatusBar::follow() {
    const auto &page = m_model->page();
    m_tab->setText(page ? page->Sheet.TabName : QCoreApplication::translate("Mac", "Sheet"));
    m_progress->setVisible(m_model->busy());
    m_notice->setText(m_model->draft() != m_model->originalDraft()
                          ? QCoreApplication::translate("Mac", "Unsaved cell edit")
                          : m_model->notice());
    m_live->setText(m_model->live());
}
