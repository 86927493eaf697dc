#pragma once

#include <cstddef>
#include <functional>

// Runs formula work on a thread with a large, fixed stack, and waits for it. The
// calculation itself does not recurse per formula, but parsing and ixion's evaluation of nested
// expressions do; this keeps the deepest formula a cell can hold far from the stack's end, on
// whichever thread the request came in. The threads are kept between calculations.
class CalculationThread {
public:
    static constexpr std::size_t stackBytes = 256 * 1024 * 1024;

    // Runs work and returns when it ends; an exception it throws is thrown here.
    static void run(const std::function<void()> &work);
};
