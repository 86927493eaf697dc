#include "NativeBrowserSignInDesktop.h"

#include <QDesktopServices>

bool nativeOpenInSystemBrowser(const QUrl &url) {
    return QDesktopServices::openUrl(url);
}
