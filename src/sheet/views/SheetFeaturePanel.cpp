#include "sheet/views/SheetFeaturePanel.h"

#include "async/DetachedTask.h"
#include "sheet/SheetModel.h"
#include "sheet/views/SheetCommentsPanel.h"
#include "sheet/views/SheetDataPanel.h"
#include "sheet/views/SheetFilesPanel.h"
#include "sheet/views/SheetHistoryPanel.h"
#include "sheet/views/SheetSharePanel.h"

#include <QLabel>
#include <QVBoxLayout>

SheetFeaturePanel::SheetFeaturePanel(std::shared_ptr<SheetModel> model, QWidget *parent)
    : QWidget(parent), m_model(std::move(model)), m_column(new QVBoxLayout(this)) {}

void SheetFeaturePanel::run(std::function<QCoro::Task<>()> work) {
    startDetached(m_model, std::move(work));
}

QLabel *SheetFeaturePanel::addText(const QString &text, bool selectable) {
    auto *label = new QLabel(text, this);
    label->setWordWrap(true);
    if (selectable)
        label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_column->addWidget(label);
    return label;
}

SheetFeaturePanel *SheetFeaturePanel::make(const QString &name, std::shared_ptr<SheetModel> model,
                                           OpenImported openImported, QWidget *parent) {
    if (name == u"History")
        return new SheetHistoryPanel(std::move(model), parent);
    if (name == u"Data")
        return new SheetDataPanel(std::move(model), parent);
    if (name == u"Comments")
        return new SheetCommentsPanel(std::move(model), parent);
    if (name == u"Share")
        return new SheetSharePanel(std::move(model), parent);
    if (name == u"Import" || name == u"Export")
        return new SheetFilesPanel(std::move(model), name == u"Import", std::move(openImported), parent);
    return nullptr;
}
