#pragma once

#include <functional>

// What the Home view offers the account menu items of its window.
struct TabrelAccountActions {
    std::function<void()> accounts; // empty when the window has no accounts UI
    std::function<void()> signOut;
    bool canManage = false;
    bool canSignOut = false;
};
