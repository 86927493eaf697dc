#pragma once

#include "sheet/SheetFiles.h"
#include "sheet/views/SheetFeaturePanel.h"

#include <QFileDialog>
#include <QPointer>

class QLabel;
class QProgressBar;
class QPushButton;

// "Import" and "Export": one panel for workbook files. Import picks an .xlsx or .xlsm file and
// follows the server's job; export downloads the open sheet and offers it to the save dialog.
// Taking the panel away stops a download that has not ended; a workbook waiting for the dialog is
// removed when the panel goes.
class SheetFilesPanel : public SheetFeaturePanel {
    Q_OBJECT

public:
    SheetFilesPanel(std::shared_ptr<SheetModel> model, bool importing,
                    SheetFiles::OpenImported openImported = {}, QWidget *parent = nullptr);
    ~SheetFilesPanel() override;

    QPushButton *actionButton() const { return m_action; }
    QLabel *progressText() const { return m_progress; }
    // The open or save dialog while it shows.
    QFileDialog *dialog() const { return m_dialog; }

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void update();
    void chooseWorkbook();
    void offerWorkbook();

    bool m_importing;
    SheetFiles::OpenImported m_openImported;
    QPushButton *m_action = nullptr;
    QProgressBar *m_busy = nullptr;
    QLabel *m_progress = nullptr;
    QPointer<QFileDialog> m_dialog;
};
