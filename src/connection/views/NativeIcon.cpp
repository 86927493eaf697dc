#include "connection/views/NativeIcon.h"

#include <QApplication>
#include <QHash>
#include <QStyle>

QIcon nativeIcon(const QString &themeName) {
    // A bare desktop (no icon theme) still shows something close in meaning.
    static const QHash<QString, QStyle::StandardPixmap> fallbacks = {
        {QStringLiteral("dialog-error"), QStyle::SP_MessageBoxCritical},
        {QStringLiteral("network-offline"), QStyle::SP_MessageBoxWarning},
        {QStringLiteral("go-next"), QStyle::SP_ArrowForward},
        {QStringLiteral("list-add"), QStyle::SP_FileDialogNewFolder},
        {QStringLiteral("avatar-default"), QStyle::SP_DirHomeIcon},
        {QStringLiteral("x-office-spreadsheet"), QStyle::SP_FileDialogDetailedView},
        {QStringLiteral("view-refresh"), QStyle::SP_BrowserReload},
        {QStringLiteral("document-open-recent"), QStyle::SP_FileDialogContentsView},
        {QStringLiteral("go-home"), QStyle::SP_DirHomeIcon},
    };
    const QIcon themed = QIcon::fromTheme(themeName);
    if (!themed.isNull())
        return themed;
    return QApplication::style()->standardIcon(fallbacks.value(themeName, QStyle::SP_FileIcon));
}
