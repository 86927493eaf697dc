#pragma once

#include <string>

// Keeps a second server away from the same data folder: an exclusive lock on a file inside it,
// released by the kernel however this process ends.
class DataLock {
public:
    explicit DataLock(const std::string &folder);
    ~DataLock();
    DataLock(const DataLock &) = delete;
    DataLock &operator=(const DataLock &) = delete;

    bool locked() const { return m_fd >= 0; }
    const std::string &error() const { return m_error; }

private:
    int m_fd = -1;
    std::string m_error;
};
