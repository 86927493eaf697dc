#include "sheet/SheetFiles.h"

#include "sheet/SheetModel.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QUrl>
#include <QUuid>

#include <algorithm>
#include <cstdio>

namespace {
const QString jsonType = QStringLiteral("application/json");

// The sheet ID that ends an import job's location: its last non-empty path segment, all digits.
std::optional<quint64> importedSheetID(const QString &location) {
    const QStringList segments = location.split(u'/', Qt::SkipEmptyParts);
    if (segments.isEmpty())
        return std::nullopt;
    const QString &last = segments.last();
    if (std::any_of(last.cbegin(), last.cend(), [](QChar ch) { return ch < u'0' || ch > u'9'; }))
        return std::nullopt;
    bool ok = false;
    const quint64 id = last.toULongLong(&ok);
    return ok ? std::optional<quint64>(id) : std::nullopt;
}

// Copies `from` to `to` through a short-named file beside `to`, moved into place only when the
// whole copy was written, so a failure (a full disk, a vanished folder) leaves no partial file.
bool copyIntoPlace(const QString &from, const QString &to) {
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    QTemporaryFile partial(QFileInfo(to).absolutePath() + QStringLiteral("/.tabrel-XXXXXX"));
    if (!partial.open())
        return false;
    while (!source.atEnd()) {
        const QByteArray chunk = source.read(1024 * 1024);
        if (chunk.isEmpty() && source.error() != QFileDevice::NoError)
            return false;
        if (partial.write(chunk) != chunk.size())
            return false;
    }
    if (!partial.flush())
        return false;
    partial.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                           QFileDevice::ReadOther);
    partial.close();
    if (std::rename(QFile::encodeName(partial.fileName()).constData(), QFile::encodeName(to).constData()) !=
        0)
        return false;
    partial.setAutoRemove(false);
    return true;
}
} // namespace

SheetFiles::SheetFiles(SheetModel &model) : m_model(model) {}

SheetFiles::~SheetFiles() = default;

void SheetFiles::setProgress(const QString &progress) {
    if (m_progress == progress)
        return;
    m_progress = progress;
    Q_EMIT progressChanged();
}

void SheetFiles::setWorking(bool working) {
    if (m_working == working)
        return;
    m_working = working;
    Q_EMIT workingChanged();
}

void SheetFiles::setWorkbook(std::optional<WorkbookExport> workbook) {
    if (!m_workbook && !workbook)
        return;
    m_workbook = std::move(workbook);
    Q_EMIT workbookChanged();
}

void SheetFiles::setActive(bool active) {
    m_active = active;
    if (!active)
        m_exportCancel.cancel();
}

void SheetFiles::openFailed() {
    setProgress(QStringLiteral("Could not open that workbook."));
}

QString SheetFiles::escapedFileName(QString name) {
    name.replace(u'\\', QStringLiteral("\\\\"));
    name.replace(u'"', QStringLiteral("\\\""));
    name.remove(u'\r');
    name.remove(u'\n');
    return name;
}

QByteArray SheetFiles::multipartBody(const QString &fileName, const QByteArray &contents,
                                     const QString &boundary) {
    QByteArray body;
    body.reserve(contents.size() + 256);
    body += "--" + boundary.toUtf8() + "\r\n";
    body += "Content-Disposition: form-data; name=\"file\"; filename=\"" +
            escapedFileName(fileName).toUtf8() + "\"\r\n";
    body += "Content-Type: application/octet-stream\r\n\r\n";
    body += contents;
    body += "\r\n--" + boundary.toUtf8() + "--\r\n";
    return body;
}

QCoro::Task<> SheetFiles::importWorkbook(QString path, OpenImported openImported) {
    auto self = m_model.shared_from_this();
    if (m_working)
        co_return;
    setWorking(true);
    const auto finished = qScopeGuard([this] { setWorking(false); });
    setProgress(QString());
    m_importCancel = CancellationSource();
    const CancellationToken token = m_importCancel.token();

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setProgress(file.errorString());
        co_return;
    }
    // One byte past the limit is enough to refuse; a huge file is never read whole.
    const QByteArray contents = file.read(maxWorkbookBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        setProgress(file.errorString());
        co_return;
    }
    file.close();
    if (contents.size() > maxWorkbookBytes) {
        setProgress(QStringLiteral("The workbook exceeds 20 MB."));
        co_return;
    }
    const QString extension = QFileInfo(path).suffix().toLower();
    if (extension != QStringLiteral("xlsx") && extension != QStringLiteral("xlsm")) {
        setProgress(QStringLiteral("Choose an .xlsx or .xlsm workbook."));
        co_return;
    }
    const QString boundary = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    try {
        const ImportStarted started = co_await m_model.client()->request<ImportStarted>(
            QStringLiteral("/sheets/import"), QStringLiteral("POST"),
            multipartBody(QFileInfo(path).fileName(), contents, boundary),
            QStringLiteral("multipart/form-data; boundary=") + boundary, SheetModel::pageMaxBytes, token);
        co_await followJob(started.job, std::move(openImported), token);
    } catch (const CancellationError &) {
        co_return; // stopped on purpose: no message
    } catch (...) {
        setProgress(NativeClientError::messageOf(std::current_exception()));
    }
}

QCoro::Task<> SheetFiles::followJob(QString job, OpenImported openImported, CancellationToken token) {
    auto self = m_model.shared_from_this();
    // The job name comes from the server: encoded, it can only ever name one path segment.
    const QString path =
        QStringLiteral("/api/native/jobs/") + QString::fromLatin1(QUrl::toPercentEncoding(job));
    ImportProgress state;
    for (;;) {
        token.throwIfCancelled();
        state = co_await m_model.client()->request<ImportProgress>(path, QStringLiteral("GET"), std::nullopt,
                                                                   jsonType, SheetModel::pageMaxBytes, token);
        setProgress(state.progress);
        if (state.status == QStringLiteral("failed")) {
            setProgress(state.error);
            co_return;
        }
        if (state.status == QStringLiteral("done"))
            break;
        co_await m_model.clock()->sleep(1.0, token);
    }
    setProgress(QStringLiteral("Imported"));
    co_await m_model.loadList();
    // Only a sheet the reloaded list holds is opened: a location naming anything else opens nothing.
    const std::optional<quint64> id = importedSheetID(state.location);
    if (!id)
        co_return;
    const QList<SheetSummary> sheets = m_model.sheets();
    const auto found = std::find_if(sheets.cbegin(), sheets.cend(),
                                    [&](const SheetSummary &sheet) { return sheet.ID == *id; });
    if (found == sheets.cend())
        co_return;
    if (openImported)
        openImported(found->ID, found->Title);
    else
        co_await m_model.open(*found);
}

QCoro::Task<> SheetFiles::exportWorkbook() {
    auto self = m_model.shared_from_this();
    if (m_model.hasUnconfirmedChanges() || m_model.busy()) {
        setProgress(QStringLiteral("Save your cell edit first."));
        co_return;
    }
    if (m_working)
        co_return;
    setWorking(true);
    const auto finished = qScopeGuard([this] { setWorking(false); });
    discardExport(); // a workbook from an earlier export that was never saved
    m_exportCancel = CancellationSource();
    const CancellationToken token = m_exportCancel.token();
    const QString title = m_model.page() ? m_model.page()->Sheet.Title : QStringLiteral("Workbook");
    const QString source = m_model.base() + QStringLiteral("/export.xlsx");
    // Private (0700) and removed with this object on every path that does not hand it on. The
    // file inside has a short fixed name: the suggested name only goes to the save dialog.
    auto folder =
        std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/brevane-tabrel-export-XXXXXX"));
    if (!folder->isValid()) {
        setProgress(folder->errorString());
        co_return;
    }
    const QString file = folder->filePath(QStringLiteral("export.xlsx"));
    try {
        co_await m_model.client()->download(source, file, token);
    } catch (const CancellationError &) {
        co_return;
    } catch (...) {
        setProgress(NativeClientError::messageOf(std::current_exception()));
        co_return;
    }
    if (!m_active || token.isCancelled())
        co_return; // the panel closed meanwhile: nobody is there to save it
    m_exportFolder = std::move(folder);
    setWorkbook(WorkbookExport{file, WorkbookExport::filenameFor(title)});
}

bool SheetFiles::saveExport(const QString &destination) {
    if (!m_workbook)
        return false;
    const bool saved = copyIntoPlace(m_workbook->url, destination);
    if (!saved)
        setProgress(QStringLiteral("The workbook could not be saved."));
    discardExport();
    return saved;
}

void SheetFiles::discardExport() {
    m_exportFolder.reset();
    setWorkbook(std::nullopt);
}
