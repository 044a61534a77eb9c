#include "cryptstream.h"

#include "writeback.h"

#include <QIODevice>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

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

// Reads until length bytes are in or the device reports its end; returns the count read, or -1
// on a read error.
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

// Writes all length bytes. A file device that fills up part-way through one write reports the
// bytes it took and forgets why it stopped; asking it to write the rest brings the reason.
bool writeFully(QIODevice &out, const std::uint8_t *data, qint64 length)
{
    qint64 put = 0;
    while (put < length) {
        const qint64 n = out.write(reinterpret_cast<const char *>(data) + put, length - put);
        if (n <= 0)
            return false;
        put += n;
    }
    return true;
}

// The devices' side of the stream. A thread of its own reads blocks ahead into a small ring and
// writes out those the cipher is done with, so that the calling thread, which keeps the cipher
// and the progress reports, spends its time on the cipher. Every hand-over of a block between
// the two goes through the mutex; a block belongs to one of them at a time.
class BlockPipe final
{
public:
    BlockPipe(QIODevice &in, QIODevice &out)
        : m_in(in)
        , m_out(out)
        // Not zeroed: pages of the ring that a short input never reaches are never touched.
        , m_ring(std::make_unique_for_overwrite<std::uint8_t[]>(ringBlocks * cryptBlockSize))
        , m_writeback(out)
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

    // The next block in file order once it has been read: empty at the end of the input,
    // nothing when the devices failed.
    std::optional<std::span<std::uint8_t>> nextBlock()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_stop || m_read > m_transformed || m_inputEnded; });
        if (m_stop)
            return std::nullopt;
        if (m_read == m_transformed)
            return std::span<std::uint8_t>();
        return slot(m_transformed);
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
        m_changed.wait(lock, [this] { return m_stop || allWritten(); });
        if (m_exception)
            std::rethrow_exception(m_exception);
        return m_failure;
    }

private:
    enum class Task { None, Read, Write };

    bool allWritten() const { return m_inputEnded && m_written == m_read; }

    std::span<std::uint8_t> slot(qint64 block) const
    {
        const qint64 index = block % ringBlocks;
        return {m_ring.get() + index * cryptBlockSize, std::size_t(m_lengths[index])};
    }

    // Writes come first: they free the slots that reads need.
    Task nextTask() const
    {
        if (m_written < m_transformed)
            return Task::Write;
        if (!m_inputEnded && m_read < m_written + ringBlocks)
            return Task::Read;
        return Task::None;
    }

    void moveBlocks() noexcept
    {
        std::unique_lock lock(m_mutex);
        while (!m_stop && !allWritten()) {
            m_changed.wait(lock, [this] { return m_stop || nextTask() != Task::None; });
            if (m_stop)
                break;
            const Task task = nextTask();
            const qint64 block = task == Task::Write ? m_written : m_read;
            lock.unlock();
            CryptStreamResult result;
            qint64 length = 0;
            std::exception_ptr exception;
            try {
                if (task == Task::Write)
                    result = writeBlock(slot(block));
                else
                    result = readBlock(block, length);
            } catch (...) {
                exception = std::current_exception();
            }
            lock.lock();
            if (result.ok() && !exception) {
                recordDone(task, length);
            } else {
                m_failure = result;
                m_exception = exception;
                m_stop = true;
            }
            m_changed.notify_all();
        }
    }

    void recordDone(Task task, qint64 length)
    {
        if (task == Task::Write) {
            ++m_written;
            return;
        }
        // A block that is not full can only come from the end of the input.
        if (length < cryptBlockSize)
            m_inputEnded = true;
        if (length > 0)
            ++m_read;
    }

    // The slot of block is free: its last block has been written.
    CryptStreamResult readBlock(qint64 block, qint64 &length)
    {
        const qint64 index = block % ringBlocks;
        length = readFully(m_in, m_ring.get() + index * cryptBlockSize, cryptBlockSize);
        if (length < 0)
            return failed(Failure::Read, m_in);
        m_lengths[index] = length;
        return {};
    }

    CryptStreamResult writeBlock(std::span<const std::uint8_t> bytes)
    {
        const qint64 length = qint64(bytes.size());
        const qint64 at = m_out.pos();
        if (!writeFully(m_out, bytes.data(), length))
            return failed(Failure::Write, m_out);
        if (std::optional<QString> reason = m_writeback.written(at, length))
            return {Failure::Write, *reason};
        return {};
    }

    QIODevice &m_in;
    QIODevice &m_out;
    const std::unique_ptr<std::uint8_t[]> m_ring;
    std::array<qint64, ringBlocks> m_lengths{}; // bytes held by each slot
    OutputWriteback m_writeback;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    qint64 m_read = 0;         // blocks read into the ring, none of them empty
    qint64 m_transformed = 0;  // blocks the cipher is done with
    qint64 m_written = 0;      // blocks written out
    bool m_inputEnded = false; // the input has reported its end: m_read is final
    bool m_stop = false;       // on a failure, or when the caller leaves
    CryptStreamResult m_failure;
    std::exception_ptr m_exception;
    std::thread m_thread; // last, so that it starts once everything above exists
};

} // namespace

CryptStreamResult cryptStream(QIODevice &in, QIODevice &out, Rc4State &cipher, qint64 expectedSize,
                              const CryptProgress &progress)
{
    BlockPipe pipe(in, out);
    qint64 done = 0;
    while (const std::optional<std::span<std::uint8_t>> bytes = pipe.nextBlock()) {
        if (bytes->empty())
            break;
        cipher.transform(*bytes);
        pipe.blockDone();
        done += qint64(bytes->size());
        if (progress && !progress(done, std::max(done, expectedSize)))
            return {Failure::Stopped, {}, done}; // the pipe stops after its current block
    }
    CryptStreamResult result = pipe.finish();
    result.done = done;
    if (!result.ok())
        return result;
    // Blocks are read ahead of the cipher, so a file cut short after its last read would go
    // unnoticed; its size tells.
    if (done < expectedSize || (!in.isSequential() && in.size() < expectedSize))
        result.failure = Failure::InputEndedEarly;
    return result;
}

} // namespace varnok
