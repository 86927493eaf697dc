#pragma once

#include <QUuid>

#include <functional>

class NativeUpdater;

// What a window asks of the application: Home, another document, quitting, and the one updater
// whose items every File menu shows.
struct TabrelWindowActions {
    std::function<void()> openHome;
    std::function<void(const QUuid &)> openDocument;
    std::function<void()> quit;
    NativeUpdater *updater = nullptr;
};
