#pragma once

#include <utility>

#include <cerrno>
#include <unistd.h>

namespace varnok {

// An open POSIX file descriptor that is closed when it goes. close() is there for files that
// were written: their last chance to report a lost write is close's result.
class FileDescriptor final
{
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd)
        : m_fd(fd)
    {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(FileDescriptor &&other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
    {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept
    {
        FileDescriptor(std::move(other)).swap(*this);
        return *this;
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }

    // Closes the descriptor; 0, or the errno close reported. The descriptor is gone either way,
    // as Linux frees it even when close fails.
    [[nodiscard]] int close()
    {
        const int fd = std::exchange(m_fd, -1);
        return fd < 0 || ::close(fd) == 0 ? 0 : errno;
    }

private:
    void swap(FileDescriptor &other) noexcept { std::swap(m_fd, other.m_fd); }

    int m_fd = -1;
};

} // namespace varnok
