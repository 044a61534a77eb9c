#include "cryptstream.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QTest>

#include <algorithm>
#include <cstring>
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
// pipe or network file may), or fails outright once `failAt` bytes have gone out.
class ScriptedSource final : public QIODevice
{
public:
    ScriptedSource(QByteArray bytes, qint64 chunk, qint64 failAt = -1)
        : m_bytes(std::move(bytes))
        , m_chunk(chunk)
        , m_failAt(failAt)
    {
        open(ReadOnly);
    }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (m_failAt >= 0 && m_pos >= m_failAt) {
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
    qint64 m_pos = 0;
};

// Accepts writes until `capacity` bytes, like a disk that fills up.
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
        if (written + size > m_capacity) {
            setErrorString(QStringLiteral("No space left on device"));
            return -1;
        }
        written += size;
        return size;
    }

private:
    qint64 m_capacity;
};

// Zero bytes without end, and a sink that keeps only the count and the last few bytes: enough
// to run lengths past 4 GiB without memory or disk.
class Zeros final : public QIODevice
{
public:
    Zeros() { open(ReadOnly); }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        std::memset(data, 0, size_t(maxSize));
        return maxSize;
    }
    qint64 writeData(const char *, qint64) override { return -1; }
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

} // namespace

class TestCryptStream : public QObject
{
    Q_OBJECT

private slots:
    void matchesPerByteCipher_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("chunk");
        const qint64 block = cryptBlockSize;
        for (const qint64 size : {qint64(0), qint64(1), block - 1, block, block + 1, 2 * block + 3})
            QTest::addRow("%lld bytes", size) << size << block;
        QTest::newRow("reads return 4093 bytes at a time") << 2 * block + 3 << qint64(4093);
    }

    void matchesPerByteCipher()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, chunk);
        const QByteArray input = randomBytes(size);
        Rc4State reference = keyed("Key");
        const QByteArray expected = perByte(reference, input);

        ScriptedSource in(input, chunk);
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        Rc4State cipher = keyed("Key");
        std::vector<qint64> reports;
        const auto result = cryptStream(in, out, cipher, size, [&](qint64 done, qint64 total) {
            QCOMPARE(total, size);
            reports.push_back(done);
        });

        QVERIFY(result.ok());
        QCOMPARE(out.data(), expected);
        QVERIFY(cipher.sbox == reference.sbox);
        QCOMPARE(cipher.idxI, reference.idxI);
        QCOMPARE(cipher.idxJ, reference.idxJ);
        QCOMPARE(qint64(reports.size()), (size + cryptBlockSize - 1) / cryptBlockSize);
        QVERIFY(std::is_sorted(reports.begin(), reports.end()));
        if (size > 0)
            QCOMPARE(reports.back(), size);
    }

    void stopsAtFirstFailure_data()
    {
        QTest::addColumn<qint64>("available");
        QTest::addColumn<qint64>("failReadAt");
        QTest::addColumn<qint64>("sinkCapacity");
        QTest::addColumn<int>("failure");
        const qint64 total = 3 * cryptBlockSize;
        QTest::newRow("read error") << total << cryptBlockSize + 10 << total << int(Failure::Read);
        QTest::newRow("input shorter than its length")
            << total - 1 << qint64(-1) << total << int(Failure::InputEndedEarly);
        QTest::newRow("disk full")
            << total << qint64(-1) << cryptBlockSize + 1 << int(Failure::Write);
    }

    void stopsAtFirstFailure()
    {
        QFETCH(qint64, available);
        QFETCH(qint64, failReadAt);
        QFETCH(qint64, sinkCapacity);
        QFETCH(int, failure);
        ScriptedSource in(QByteArray(available, 'x'), available, failReadAt);
        LimitedSink out(sinkCapacity);
        Rc4State cipher = keyed("Key");

        const auto result = cryptStream(in, out, cipher, 3 * cryptBlockSize);

        QCOMPARE(int(result.failure), failure);
        QVERIFY(!result.ok());
        QCOMPARE(result.errorString.isEmpty(), result.failure == Failure::InputEndedEarly);
        QVERIFY(out.written < 3 * cryptBlockSize);
    }

    // The count of bytes must not wrap at 2 or 4 GiB. Too slow for the sanitizer build, where
    // the cipher runs several times slower; the plain build runs it.
    void lengthsBeyondFourGiB()
    {
#ifdef UNDER_ADDRESS_SANITIZER
        QSKIP("4 GiB through the cipher takes minutes under AddressSanitizer");
#endif
        const qint64 total = (qint64(1) << 32) + 5;
        Zeros in;
        TailSink out;
        Rc4State cipher = keyed("Key");
        qint64 lastDone = 0;
        const auto result =
            cryptStream(in, out, cipher, total, [&](qint64 done, qint64) { lastDone = done; });
        QVERIFY(result.ok());
        QCOMPARE(out.written, total);
        QCOMPARE(lastDone, total);
        QCOMPARE(out.tail.size(), 5); // the final block is the 5 bytes past 4 GiB
    }
};

QTEST_GUILESS_MAIN(TestCryptStream)
#include "tst_cryptstream.moc"
