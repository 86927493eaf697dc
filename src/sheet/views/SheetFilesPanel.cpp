#include "sheet/views/SheetFilesPanel.h"

#include "sheet/SheetModel.h"

#include <QFileDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

SheetFilesPanel::SheetFilesPanel(std::shared_ptr<SheetModel> model, bool importing,
                                 SheetFiles::OpenImported openImported, QWidget *parent)
    : SheetFeaturePanel(std::move(model), parent), m_importing(importing),
      m_openImported(std::move(openImported)) {
    if (m_importing)
        addText(tr("Import an .xlsx or .xlsm workbook up to 20 MB. Only its first worksheet is imported."));
    m_action = new QPushButton(m_importing ? tr("Choose workbook") : tr("Save workbook\u2026"), this);
    column()->addWidget(m_action);
    m_busy = new QProgressBar(this);
    m_busy->setRange(0, 0); // indeterminate
    column()->addWidget(m_busy);
    m_progress = addText(QString());
    column()->addStretch();

    SheetModel *raw = this->model().get();
    SheetFiles *files = &raw->sheetFiles();
    for (auto signal : {&SheetFiles::progressChanged, &SheetFiles::workingChanged})
        connect(files, signal, this, &SheetFilesPanel::update);
    connect(raw, &SheetModel::busyChanged, this, &SheetFilesPanel::update);
    connect(raw, &SheetModel::hasUnconfirmedChangesChanged, this, &SheetFilesPanel::update);
    connect(files, &SheetFiles::workbookChanged, this, &SheetFilesPanel::offerWorkbook);
    connect(m_action, &QPushButton::clicked, this, [this] {
        if (m_importing)
            chooseWorkbook();
        else
            run([model = this->model()] { return model->sheetFiles().exportWorkbook(); });
    });
    update();
}

SheetFilesPanel::~SheetFilesPanel() {
    // Nobody is left to save a downloaded workbook.
    SheetFiles &files = model()->sheetFiles();
    files.setActive(false);
    files.discardExport();
}

void SheetFilesPanel::showEvent(QShowEvent *event) {
    SheetFeaturePanel::showEvent(event);
    model()->sheetFiles().setActive(true);
}

void SheetFilesPanel::hideEvent(QHideEvent *event) {
    SheetFeaturePanel::hideEvent(event);
    SheetFiles &files = model()->sheetFiles();
    files.setActive(false);
    if (!m_dialog)
        files.discardExport();
}

void SheetFilesPanel::update() {
    const SheetFiles &files = model()->sheetFiles();
    const SheetModel &model = *this->model();
    m_action->setEnabled(!files.working() &&
                         (m_importing || (!model.hasUnconfirmedChanges() && !model.busy())));
    m_busy->setVisible(files.working());
    m_progress->setText(files.progress());
    m_progress->setVisible(!files.progress().isEmpty());
}

void SheetFilesPanel::chooseWorkbook() {
    m_dialog = new QFileDialog(this, tr("Choose workbook"));
    m_dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_dialog->setFileMode(QFileDialog::ExistingFile);
    m_dialog->setNameFilter(tr("Workbooks (*.xlsx *.xlsm)"));
    connect(m_dialog, &QFileDialog::fileSelected, this, [this](const QString &path) {
        run([model = this->model(), path, open = m_openImported] {
            return model->sheetFiles().importWorkbook(path, open);
        });
    });
    m_dialog->open();
}

void SheetFilesPanel::offerWorkbook() {
    const std::optional<WorkbookExport> &workbook = model()->sheetFiles().workbook();
    if (!workbook || m_dialog)
        return;
    m_dialog = new QFileDialog(this, tr("Save workbook"));
    m_dialog->setAttribute(Qt::WA_DeleteOnClose);
    m_dialog->setAcceptMode(QFileDialog::AcceptSave);
    m_dialog->setNameFilter(tr("Workbook (*.xlsx)"));
    m_dialog->setDefaultSuffix(QStringLiteral("xlsx"));
    m_dialog->selectFile(workbook->filename);
    SheetFiles *files = &model()->sheetFiles();
    connect(m_dialog, &QFileDialog::finished, this, [this, files](int result) {
        const QStringList chosen = m_dialog ? m_dialog->selectedFiles() : QStringList();
        if (result == QDialog::Accepted && !chosen.isEmpty())
            files->saveExport(chosen.first());
        else
            files->discardExport();
    });
    m_dialog->open();
}
