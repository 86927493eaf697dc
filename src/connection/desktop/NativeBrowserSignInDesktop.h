#pragma once

#include <QUrl>

// Opens the approval page in the user's default browser (the opener a NativeBrowserSignIn of the
// application uses). True when the desktop accepted the URL.
bool nativeOpenInSystemBrowser(const QUrl &url);
