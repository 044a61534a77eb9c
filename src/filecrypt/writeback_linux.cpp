#include "writeback.h"

#include <QFileDevice>

#include <cerrno>

#include <fcntl.h>

namespace varnok {

namespace {

// How far the released part trails the writing: deep enough to keep a fast disk's queue full,
// small enough that the output's cache stays a few MiB.
constexpr qint64 releaseLag = qint64(16) << 20;

int handleOf(QIODevice &device)
{
    const auto *file = qobject_cast<QFileDevice *>(&device);
    return file ? file->handle() : -1;
}

} // namespace

OutputWriteback::OutputWriteback(QIODevice &out)
    : m_handle(handleOf(out))
{}

std::optional<QString> OutputWriteback::written(qint64 at, qint64 length)
{
    if (m_handle < 0)
        return std::nullopt;
    if (::sync_file_range(m_handle, at, length, SYNC_FILE_RANGE_WRITE) != 0)
        return qt_error_string(errno);
    const qint64 releaseTo = at + length - releaseLag;
    if (releaseTo <= m_released)
        return std::nullopt;
    const qint64 span = releaseTo - m_released;
    // A failed writeback is reported to the first call that waits for it, and to that one only.
    constexpr unsigned waitForAll =
        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER;
    if (::sync_file_range(m_handle, m_released, span, waitForAll) != 0)
        return qt_error_string(errno);
    // Only a hint: pages it does not drop stay cached, which costs memory, not data.
    if (::posix_fadvise(m_handle, m_released, span, POSIX_FADV_DONTNEED) == 0)
        m_released = releaseTo;
    return std::nullopt;
}

} // namespace varnok
