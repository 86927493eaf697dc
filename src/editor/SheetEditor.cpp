#include "editor/SheetEditor.h"

#include "editor/SheetFormulaBar.h"
#include "editor/SheetGrid.h"
#include "editor/SheetStatusBar.h"

#include <QVBoxLayout>

SheetEditor::SheetEditor(std::shared_ptr<SheetModel> model, QWidget *parent)
    : QWidget(parent), m_model(std::move(model)), m_formulaBar(new SheetFormulaBar(m_model, this)),
      m_grid(new SheetGrid(m_model, this)), m_statusBar(new SheetStatusBar(m_model, this)) {
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_formulaBar);
    layout->addWidget(m_grid, 1);
    layout->addWidget(m_statusBar);
    setFocusProxy(m_grid);
}
