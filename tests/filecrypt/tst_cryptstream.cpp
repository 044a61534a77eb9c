#include "cryptstream.h"

#include <QBuffer>
#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryFile>
#include <QTest>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace varnok;

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ADDRESS_SANITIZER 1
#endif
#endif

namespace {

using Failure = CryptStreamResult::Failure;

Rc4State keyed(const QByteArray &key)
{
    Rc4State state;
    state.RC4ini(std::span(reinterpret_cast<const std::uint8_t *>(key.data()), key.size()));
    return state;
}

QByteArray perByte(Rc4State &state, const QByteArray &input)
{
    QByteArray out(input.size(), Qt::Uninitialized);
    for (qsizetype k = 0; k < input.size(); ++k)
        out[k] = char(state.EnDeCryptSingle(std::uint8_t(input[k])));
    return out;
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (auto &b : bytes)
        b = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

// A sequential device of `size` bytes that hands out at most `chunk` bytes per read (as a
// pipe or network file may), or fails outright once `failAt` bytes have gone out: with an
// error, or by throwing when `throwAtFailure` is set.
class ScriptedSource final : public QIODevice
{
public:
    ScriptedSource(QByteArray bytes, qint64 chunk, qint64 failAt = -1, bool throwAtFailure = false)
        : m_bytes(std::move(bytes))
        , m_chunk(chunk)
        , m_failAt(failAt)
        , m_throw(throwAtFailure)
    {
        open(ReadOnly);
    }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (m_failAt >= 0 && m_pos >= m_failAt) {
            if (m_throw)
                throw std::runtime_error("reader gave up");
            setErrorString(QStringLiteral("device unplugged"));
            return -1;
        }
        const qint64 n = std::min({maxSize, m_chunk, qint64(m_bytes.size()) - m_pos});
        std::memcpy(data, m_bytes.constData() + m_pos, size_t(n));
        m_pos += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_bytes;
    qint64 m_chunk;
    qint64 m_failAt;
    bool m_throw;
    qint64 m_pos = 0;
};

// Accepts writes until `capacity` bytes, like a disk that fills up: the write that reaches the
// capacity takes what fits and reports the count, as a file does; only the next one fails.
class LimitedSink final : public QIODevice
{
public:
    explicit LimitedSink(qint64 capacity)
        : m_capacity(capacity)
    {
        open(WriteOnly);
    }
    qint64 written = 0;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *, qint64 size) override
    {
        if (written >= m_capacity && size > 0) {
            setErrorString(QStringLiteral("No space left on device"));
            return -1;
        }
        const qint64 taken = std::min(size, m_capacity - written);
        written += taken;
        return taken;
    }

private:
    qint64 m_capacity;
};

// `size` zero bytes, and a sink that keeps only the count and the last few bytes: enough to
// run lengths past 4 GiB without memory or disk.
class Zeros final : public QIODevice
{
public:
    explicit Zeros(qint64 size)
        : m_left(size)
    {
        open(ReadOnly);
    }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = std::min(maxSize, m_left);
        std::memset(data, 0, size_t(n));
        m_left -= n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    qint64 m_left;
};

class TailSink final : public QIODevice
{
public:
    TailSink() { open(WriteOnly); }
    qint64 written = 0;
    QByteArray tail;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        written += size;
        tail = QByteArray(data + std::max<qint64>(0, size - 8), std::min<qint64>(size, 8));
        return size;
    }
};

// Threads of this process: a stream must leave none behind, however it ends.
int threadCount()
{
    return int(QDir(QStringLiteral("/proc/self/task"))
                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                   .size());
}

} // namespace

class TestCryptStream : public QObject
{
    Q_OBJECT

    // The threads of the process before any stream ran. A joined thread can still be listed
    // for a moment after its join, so the counts after a stream are waited for, not read once.
    int m_threads = 0;

private slots:
    void initTestCase() { m_threads = threadCount(); }

    // Sizes around the block size and around the ring of blocks in flight, whose slots are
    // used again from the fourth block on.
    // An input is read to its end, whatever its size said beforehand (`stated`).
    void matchesPerByteCipher_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("chunk");
        QTest::addColumn<qint64>("stated");
        const qint64 block = cryptBlockSize;
        for (const qint64 size :
             {qint64(0), qint64(1), qint64(17), block - 1, block, block + 1, 2 * block + 3,
              3 * block - 1, 3 * block, 3 * block + 1, 7 * block + 5})
            QTest::addRow("%lld bytes", size) << size << block << size;
        QTest::newRow("reads return 4093 bytes at a time")
            << 2 * block + 3 << qint64(4093) << 2 * block + 3;
        QTest::newRow("reads return one byte less than a block")
            << 5 * block << block - 1 << 5 * block;
        QTest::newRow("size says 0, as in /proc") << qint64(4000) << qint64(1000) << qint64(0);
        QTest::newRow("grown past its size") << 4 * block + 9 << block << 2 * block;
    }

    void matchesPerByteCipher()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, chunk);
        QFETCH(qint64, stated);
        const QByteArray input = randomBytes(size);
        Rc4State reference = keyed("Key");
        const QByteArray expected = perByte(reference, input);

        ScriptedSource in(input, chunk);
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        Rc4State cipher = keyed("Key");
        std::vector<qint64> reports;
        bool totalsRight = true;
        bool reportedElsewhere = false; // the window may only be touched from its own thread
        const auto caller = std::this_thread::get_id();
        const auto result = cryptStream(in, out, cipher, stated, [&](qint64 done, qint64 total) {
            totalsRight &= total == std::max(done, stated);
            reports.push_back(done);
            reportedElsewhere |= std::this_thread::get_id() != caller;
            return true;
        });

        QVERIFY(result.ok());
        QVERIFY(totalsRight);
        QCOMPARE(result.done, size);
        QCOMPARE(out.data(), expected);
        QVERIFY(cipher.sbox == reference.sbox);
        QCOMPARE(cipher.idxI, reference.idxI);
        QCOMPARE(cipher.idxJ, reference.idxJ);
        QVERIFY(!reportedElsewhere);
        QCOMPARE(qint64(reports.size()), (size + cryptBlockSize - 1) / cryptBlockSize);
        QVERIFY(std::is_sorted(reports.begin(), reports.end()));
        if (size > 0)
            QCOMPARE(reports.back(), size);
    }

    // Failures early and late in the stream, the late ones after the ring has come round.
    void stopsAtFirstFailure_data()
    {
        QTest::addColumn<qint64>("available");
        QTest::addColumn<qint64>("failReadAt");
        QTest::addColumn<qint64>("sinkCapacity");
        QTest::addColumn<int>("failure");
        const qint64 block = cryptBlockSize;
        const qint64 total = 6 * block;
        QTest::newRow("read error") << total << block + 10 << total << int(Failure::Read);
        QTest::newRow("read error at the start")
            << total << qint64(0) << total << int(Failure::Read);
        QTest::newRow("read error in the last block")
            << total << 5 * block - 3 << total << int(Failure::Read);
        QTest::newRow("input shorter than its length")
            << total - 1 << qint64(-1) << total << int(Failure::InputEndedEarly);
        QTest::newRow("disk full") << total << qint64(-1) << block + 1 << int(Failure::Write);
        QTest::newRow("disk full at the first byte")
            << total << qint64(-1) << qint64(0) << int(Failure::Write);
        QTest::newRow("disk full in the last block")
            << total << qint64(-1) << total - 1 << int(Failure::Write);
    }

    void stopsAtFirstFailure()
    {
        QFETCH(qint64, available);
        QFETCH(qint64, failReadAt);
        QFETCH(qint64, sinkCapacity);
        QFETCH(int, failure);
        const qint64 total = 6 * cryptBlockSize;
        ScriptedSource in(QByteArray(available, 'x'), available, failReadAt);
        LimitedSink out(sinkCapacity);
        Rc4State cipher = keyed("Key");

        const auto result = cryptStream(in, out, cipher, total);

        QCOMPARE(int(result.failure), failure);
        QVERIFY(!result.ok());
        const QString reason = failure == int(Failure::Read) ? QStringLiteral("device unplugged")
                               : failure == int(Failure::Write)
                                   ? QStringLiteral("No space left on device")
                                   : QString();
        QCOMPARE(result.errorString, reason);
        QVERIFY(out.written < total);
        // Reads fail from the first one starting at or after failReadAt: only the blocks before
        // it hold input, and no other slot of the ring may reach the output.
        const qint64 block = cryptBlockSize;
        if (failReadAt >= 0)
            QVERIFY(out.written <= (failReadAt + block - 1) / block * block);
        QTRY_COMPARE(threadCount(), m_threads);
    }

    // The caller's progress report or the input device may throw; either way the exception
    // reaches the caller, and only after the devices are no longer in use.
    void exceptionsReachTheCaller_data()
    {
        QTest::addColumn<bool>("fromProgress");
        QTest::newRow("progress report throws") << true;
        QTest::newRow("input device throws") << false;
    }

    void exceptionsReachTheCaller()
    {
        QFETCH(bool, fromProgress);
        const qint64 total = 8 * cryptBlockSize;
        ScriptedSource in(QByteArray(total, 'x'), total, fromProgress ? -1 : 2 * cryptBlockSize,
                          true);
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        Rc4State cipher = keyed("Key");
        const CryptProgress progress = [fromProgress](qint64, qint64) {
            if (fromProgress)
                throw std::runtime_error("host gave up");
            return true;
        };

        QVERIFY_THROWS_EXCEPTION(std::runtime_error,
                                 (void)cryptStream(in, out, cipher, total, progress));

        QTRY_COMPARE(threadCount(), m_threads);
        QVERIFY(out.size() < total);
    }

    // A stop asked for after a block ends the stream there: nothing read past what is in
    // flight, nothing written of what the cipher has not done, no thread left.
    void stopEndsTheStreamAtOnce()
    {
        const qint64 block = cryptBlockSize;
        const qint64 total = 20 * block;
        ScriptedSource in(QByteArray(total, 'x'), block);
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        Rc4State cipher = keyed("Key");
        int reports = 0;
        const auto result = cryptStream(in, out, cipher, total, [&](qint64 done, qint64) {
            ++reports;
            return done < 2 * block;
        });
        QCOMPARE(int(result.failure), int(Failure::Stopped));
        QCOMPARE(result.done, 2 * block);
        QCOMPARE(reports, 2);
        QVERIFY(out.size() <= 2 * block);
        QVERIFY(in.pos() <= 2 * block + 3 * block); // at most the ring read ahead
        QTRY_COMPARE(threadCount(), m_threads);
    }

    // Blocks are read ahead of the cipher, so a file cut short after its last read must still
    // be noticed; a file that grows meanwhile gives the bytes it had at the start.
    void fileChangingSizeDuringTheRun_data()
    {
        QTest::addColumn<qint64>("newSize");
        QTest::addColumn<bool>("ok");
        const qint64 total = 3 * cryptBlockSize + 5;
        QTest::newRow("shrinks") << total - 1 << false;
        QTest::newRow("emptied") << qint64(0) << false;
        QTest::newRow("grows") << total + 1 << true;
    }

    void fileChangingSizeDuringTheRun()
    {
        QFETCH(qint64, newSize);
        QFETCH(bool, ok);
        const qint64 total = 3 * cryptBlockSize + 5;
        QTemporaryFile in;
        const QByteArray input = randomBytes(total);
        QVERIFY(in.open());
        QCOMPARE(in.write(input), total);
        QVERIFY(in.seek(0));
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        Rc4State cipher = keyed("Key");
        // At the last report every block has long been read.
        bool resized = true;
        const auto result = cryptStream(in, out, cipher, total, [&](qint64 done, qint64) {
            if (done == total)
                resized = QFile::resize(in.fileName(), newSize);
            return true;
        });
        QVERIFY(resized);

        QCOMPARE(result.ok(), ok);
        if (ok) {
            Rc4State reference = keyed("Key");
            QCOMPARE(out.data(), perByte(reference, input));
        } else {
            QCOMPARE(int(result.failure), int(Failure::InputEndedEarly));
        }
    }

    // The count of bytes must not wrap at 2 or 4 GiB. Too slow for the sanitizer build, where
    // the cipher runs several times slower; the plain build runs it.
    void lengthsBeyondFourGiB()
    {
#ifdef UNDER_ADDRESS_SANITIZER
        QSKIP("4 GiB through the cipher takes minutes under AddressSanitizer");
#endif
        const qint64 total = (qint64(1) << 32) + 5;
        Zeros in(total);
        TailSink out;
        Rc4State cipher = keyed("Key");
        qint64 lastDone = 0;
        const auto result = cryptStream(in, out, cipher, total, [&](qint64 done, qint64) {
            lastDone = done;
            return true;
        });
        QVERIFY(result.ok());
        QCOMPARE(out.written, total);
        QCOMPARE(lastDone, total);
        QCOMPARE(out.tail.size(), 5); // the final block is the 5 bytes past 4 GiB
    }
};

QTEST_GUILESS_MAIN(TestCryptStream)
#include "tst_cryptstream.moc"
