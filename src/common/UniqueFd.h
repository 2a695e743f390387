#pragma once

#include <unistd.h>

// A file descriptor closed when it goes out of scope.
class TUniqueFd {
public:
    explicit TUniqueFd(int fd) : m_fd(fd) {}
    ~TUniqueFd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;
    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }

private:
    int m_fd;
};
