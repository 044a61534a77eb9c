#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

namespace varnok {

// Moves a long output to disk while it is being written rather than piling it up in the page
// cache for the final flush. Each block starts its way to disk as soon as it is written; blocks
// written a while ago are waited for and their cache pages let go of, so that the next blocks
// reuse the same few MiB of memory. Fresh cache pages are not free (under a virtual machine
// each may be a fault to the host, a few seconds per GiB), and a pile of them only makes the
// final flush wait longer. The output's own flush still decides that every byte arrived.
// writeback_linux.cpp and writeback_none.cpp implement it.
class OutputWriteback final
{
public:
    explicit OutputWriteback(QIODevice &out);

    // Bytes [at, at + length) of the output have just been written. Returns the system's reason
    // if writing earlier bytes back failed: that report is the only one, the flush will not
    // repeat it.
    [[nodiscard]] std::optional<QString> written(qint64 at, qint64 length);

private:
    int m_handle = -1;
    qint64 m_released = 0; // bytes before this are on disk and out of the cache
};

} // namespace varnok
