#pragma once

#include "async/CancellationSource.h"
#include "sheet/WorkbookExport.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QTemporaryDir;
class SheetModel;

// Workbook import and export for one workspace. Import uploads an .xlsx or .xlsm file, follows the
// server's job until it ends and opens the new sheet. Export downloads the open sheet into a
// private temporary folder and keeps it there until the save dialog has finished with it; the
// folder is removed whatever the outcome.
//
// One job at a time: `working` is set from the start of an import or export to its end, and each
// end leaves its text in `progress`.
class SheetFiles : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(bool working READ working NOTIFY workingChanged)
    Q_PROPERTY(std::optional<WorkbookExport> workbook READ workbook NOTIFY workbookChanged)

public:
    static constexpr qint64 maxWorkbookBytes = 20'971'520;
    // Opens an imported sheet (its ID and title) somewhere else than in this model.
    using OpenImported = std::function<void(quint64, QString)>;

    explicit SheetFiles(SheetModel &model);
    ~SheetFiles() override;

    const QString &progress() const { return m_progress; }
    bool working() const { return m_working; }
    // The downloaded workbook while the save dialog should show it.
    const std::optional<WorkbookExport> &workbook() const { return m_workbook; }

    // The panel is on screen (true) or was taken off (false). Taken off before a download ends,
    // the download stops and nothing is offered; a workbook already offered waits for the dialog.
    void setActive(bool active);
    bool active() const { return m_active; }

    // Uploads the workbook at `path`, follows the job and opens the imported sheet with
    // `openImported`, or in the model when none is given. Goes on after the panel closes, until
    // the job ends or cancelImport() is called.
    QCoro::Task<> importWorkbook(QString path, OpenImported openImported = {});
    void cancelImport() { m_importCancel.cancel(); }
    // The file-open dialog failed.
    void openFailed();

    // Downloads the open sheet. On success, with the panel still active, `workbook` is set for the
    // save dialog; otherwise nothing is left behind.
    QCoro::Task<> exportWorkbook();
    // The save dialog chose `destination`: copies the workbook there (replacing a file the user
    // agreed to replace), then removes the temporary folder. False, with the message in
    // `progress`, when the copy failed; a failed copy leaves no partial file.
    bool saveExport(const QString &destination);
    // The save dialog was cancelled, or the panel went away: removes the temporary folder.
    void discardExport();

    // The multipart upload of `contents` under the file name `fileName`.
    static QByteArray multipartBody(const QString &fileName, const QByteArray &contents,
                                    const QString &boundary);
    // `name` for a quoted header parameter: backslashes doubled, quotes escaped, line breaks dropped.
    static QString escapedFileName(QString name);

Q_SIGNALS:
    void progressChanged();
    void workingChanged();
    void workbookChanged();

private:
    QCoro::Task<> followJob(QString job, OpenImported openImported, CancellationToken token);
    void setProgress(const QString &progress);
    void setWorking(bool working);
    void setWorkbook(std::optional<WorkbookExport> workbook);

    SheetModel &m_model;
    QString m_progress;
    bool m_working = false;
    bool m_active = false;
    std::optional<WorkbookExport> m_workbook;
    std::unique_ptr<QTemporaryDir> m_exportFolder;
    CancellationSource m_importCancel;
    CancellationSource m_exportCancel;
};
