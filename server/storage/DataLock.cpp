#include "storage/DataLock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

DataLock::DataLock(const std::string &folder) {
    const std::string path = folder + "/tabrel-server.lock";
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        m_error = "cannot open " + path + ": " + std::strerror(errno);
        return;
    }
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        m_error = errno == EWOULDBLOCK
                      ? "another tabrel-server is already using " + folder + "; stop it first"
                      : "cannot lock " + path + ": " + std::strerror(errno);
        ::close(m_fd);
        m_fd = -1;
    }
}

DataLock::~DataLock() {
    if (m_fd >= 0)
        ::close(m_fd);
}
