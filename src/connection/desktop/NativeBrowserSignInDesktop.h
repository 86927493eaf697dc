#pragma once

#include <QCoroTask>
#include <QUrl>

#include <chrono>

// Opens the approval page in the user's default browser through xdg-open (the opener a
// NativeBrowserSignIn of the application uses). Resolves to false when xdg-open cannot be started
// or exits with a failure; an xdg-open still running after `patience` is running the browser
// itself, which counts as opened.
QCoro::Task<bool> nativeOpenInSystemBrowser(QUrl url,
                                            std::chrono::milliseconds patience = std::chrono::seconds(10));
