#pragma once

#include <QWidget>

#include <memory>

class SheetFormulaBar;
class SheetGrid;
class SheetModel;
class SheetStatusBar;

// One sheet's editing surface: the formula bar over the grid over the status bar, all on one model.
class SheetEditor : public QWidget {
    Q_OBJECT
public:
    explicit SheetEditor(std::shared_ptr<SheetModel> model, QWidget *parent = nullptr);

    const std::shared_ptr<SheetModel> &model() const { return m_model; }
    SheetGrid *grid() const { return m_grid; }
    SheetFormulaBar *formulaBar() const { return m_formulaBar; }
    SheetStatusBar *statusBar() const { return m_statusBar; }

private:
    std::shared_ptr<SheetModel> m_model;
    SheetFormulaBar *m_formulaBar;
    SheetGrid *m_grid;
    SheetStatusBar *m_statusBar;
};
