#include "cryptstream.h"

#include <QFileDevice>
#include <QIODevice>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

namespace varnok {

namespace {

using Failure = CryptStreamResult::Failure;

// Blocks in flight: one being read, one in the cipher and one being written. More did not
// help, and three stay within a core's cache.
constexpr qint64 ringBlocks = 3;

CryptStreamResult failed(Failure failure, const QIODevice &device)
{
    return {failure, failure == Failure::InputEndedEarly ? QString() : device.errorString()};
}

// Reads exactly length bytes unless the device fails or runs dry; returns the count read or -1.
qint64 readFully(QIODevice &in, std::uint8_t *data, qint64 length)
{
    qint64 got = 0;
    while (got < length) {
        const qint64 n = in.read(reinterpret_cast<char *>(data) + got, length - got);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

int fileHandle(QIODevice &device)
{
    const auto *file = qobject_cast<QFileDevice *>(&device);
    return file ? file->handle() : -1;
}

// The devices' side of the stream. A thread of its own reads blocks ahead into a small ring and
// writes out those the cipher is done with, so that the calling thread, which keeps the cipher
// and the progress reports, spends its time on the cipher. Every hand-over of a block between
// the two goes through the mutex; a block belongs to one of them at a time.
class BlockPipe final
{
public:
    BlockPipe(QIODevice &in, QIODevice &out, qint64 total)
        : m_in(in)
        , m_out(out)
        , m_total(total)
        , m_blocks((total + cryptBlockSize - 1) / cryptBlockSize)
        , m_slots(std::min(m_blocks, ringBlocks))
        , m_ring(std::size_t(m_slots * std::min(total, cryptBlockSize)))
        , m_outHandle(fileHandle(out))
        , m_thread([this] { moveBlocks(); })
    {}

    // Stops the thread after its current block, e.g. when the caller's progress report throws.
    ~BlockPipe()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    BlockPipe(const BlockPipe &) = delete;
    BlockPipe &operator=(const BlockPipe &) = delete;

    // The next block in file order once it has been read; empty when the devices failed.
    std::span<std::uint8_t> nextBlock()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_stop || m_read > m_transformed; });
        return m_stop ? std::span<std::uint8_t>() : slot(m_transformed);
    }

    // Hands the block from nextBlock(), now transformed, over to be written.
    void blockDone()
    {
        {
            const std::lock_guard lock(m_mutex);
            ++m_transformed;
        }
        m_changed.notify_all();
    }

    // Waits until every block is written or the devices failed; rethrows what the thread threw.
    CryptStreamResult finish()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_stop || m_written == m_blocks; });
        if (m_exception)
            std::rethrow_exception(m_exception);
        return m_failure;
    }

private:
    enum class Task { None, Read, Write };

    std::span<std::uint8_t> slot(qint64 block)
    {
        const qint64 offset = (block % m_slots) * std::min(m_total, cryptBlockSize);
        const qint64 length = std::min(m_total - block * cryptBlockSize, cryptBlockSize);
        return {m_ring.data() + offset, std::size_t(length)};
    }

    // Writes come first: they free the slots that reads need.
    Task nextTask() const
    {
        if (m_written < m_transformed)
            return Task::Write;
        if (m_read < m_blocks && m_read < m_written + m_slots)
            return Task::Read;
        return Task::None;
    }

    void moveBlocks() noexcept
    {
        std::unique_lock lock(m_mutex);
        while (!m_stop && m_written < m_blocks) {
            m_changed.wait(lock, [this] { return m_stop || nextTask() != Task::None; });
            if (m_stop)
                break;
            const Task task = nextTask();
            const qint64 block = task == Task::Write ? m_written : m_read;
            lock.unlock();
            CryptStreamResult result;
            std::exception_ptr exception;
            try {
                result = task == Task::Write ? writeBlock(slot(block)) : readBlock(slot(block));
            } catch (...) {
                exception = std::current_exception();
            }
            lock.lock();
            if (result.ok() && !exception) {
                ++(task == Task::Write ? m_written : m_read);
            } else {
                m_failure = result;
                m_exception = exception;
                m_stop = true;
            }
            m_changed.notify_all();
        }
    }

    CryptStreamResult readBlock(std::span<std::uint8_t> bytes)
    {
        const qint64 length = qint64(bytes.size());
        const qint64 got = readFully(m_in, bytes.data(), length);
        if (got < 0)
            return failed(Failure::Read, m_in);
        if (got < length)
            return failed(Failure::InputEndedEarly, m_in);
        return {};
    }

    CryptStreamResult writeBlock(std::span<const std::uint8_t> bytes)
    {
        const qint64 length = qint64(bytes.size());
        [[maybe_unused]] const qint64 at = m_out.pos();
        if (m_out.write(reinterpret_cast<const char *>(bytes.data()), length) != length)
            return failed(Failure::Write, m_out);
#ifdef Q_OS_LINUX
        // Start putting the block on disk now, beside the cipher, rather than all of them at the
        // final flush. Only a hint: the final flush still checks that everything arrived.
        if (m_outHandle >= 0)
            ::sync_file_range(m_outHandle, at, length, SYNC_FILE_RANGE_WRITE);
#endif
        return {};
    }

    QIODevice &m_in;
    QIODevice &m_out;
    const qint64 m_total;
    const qint64 m_blocks;
    const qint64 m_slots;
    std::vector<std::uint8_t> m_ring;
    const int m_outHandle;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    qint64 m_read = 0;        // blocks read into the ring
    qint64 m_transformed = 0; // blocks the cipher is done with
    qint64 m_written = 0;     // blocks written out
    bool m_stop = false;      // on a failure, or when the caller leaves
    CryptStreamResult m_failure;
    std::exception_ptr m_exception;
    std::thread m_thread; // last, so that it starts once everything above exists
};

} // namespace

CryptStreamResult cryptStream(QIODevice &in, QIODevice &out, Rc4State &cipher, qint64 total,
                              const CryptProgress &progress)
{
    if (total <= 0)
        return {};
    BlockPipe pipe(in, out, total);
    qint64 done = 0;
    while (done < total) {
        const std::span<std::uint8_t> bytes = pipe.nextBlock();
        if (bytes.empty())
            break;
        cipher.transform(bytes);
        pipe.blockDone();
        done += qint64(bytes.size());
        if (progress)
            progress(done, total);
    }
    const CryptStreamResult result = pipe.finish();
    // Blocks are read ahead of the cipher, so a file cut short after its last read would go
    // unnoticed; its size tells.
    if (result.ok() && !in.isSequential() && in.size() < total)
        return {Failure::InputEndedEarly, {}};
    return result;
}

} // namespace varnok
