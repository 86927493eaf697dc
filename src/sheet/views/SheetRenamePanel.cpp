#include "sheet/views/SheetRenamePanel.h"

#include "async/DetachedTask.h"
#include "sheet/SheetModel.h"
#include "sheet/SheetRename.h"

#include <QCoreApplication>
#include <QFormLayout>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

SheetRenamePanel::SheetRenamePanel(std::shared_ptr<SheetModel> model, std::function<void()> dismiss,
                                   QWidget *parent)
    : QWidget(parent), m_model(std::move(model)), m_dismiss(std::move(dismiss)) {
    auto *layout = new QFormLayout(this);
    m_title = new QLineEdit(this);
    const QString label = QCoreApplication::translate("Mac", "Sheet title");
    m_title->setAccessibleName(label);
    if (const auto &page = m_model->page())
        m_title->setText(page->Sheet.Title);
    layout->addRow(label, m_title);
    m_rename = new QPushButton(QCoreApplication::translate("Mac", "Rename"), this);
    layout->addRow(QString(), m_rename);
    connect(m_rename, &QPushButton::clicked, this, &SheetRenamePanel::rename);
    connect(m_title, &QLineEdit::returnPressed, this, &SheetRenamePanel::rename);
}

// The rename goes on to its end even when the panel closes first; only the dismissal needs the panel.
void SheetRenamePanel::rename() {
    const QPointer<SheetRenamePanel> guard(this);
    startDetached(m_model,
                  [model = m_model, title = m_title->text(), guard, dismiss = m_dismiss]() -> QCoro::Task<> {
                      const bool ok = co_await renameSheet(model, title);
                      if (ok && guard && dismiss)
                          dismiss();
                  });
}
