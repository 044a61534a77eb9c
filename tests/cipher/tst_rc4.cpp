#include "rc4.h"
#include "rc4chooser.h"
#include "rc4kernels.h"
#include "threadclock.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTest>

#ifdef VARNOK_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/provider.h>
#endif

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace varnok;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes fromHex(const QByteArray &hex)
{
    const QByteArray raw = QByteArray::fromHex(hex);
    return Bytes(raw.begin(), raw.end());
}

Rc4State keyed(const Bytes &key)
{
    Rc4State state;
    state.RC4ini(key);
    return state;
}

Bytes keystreamPerByte(const Bytes &key, std::size_t length)
{
    Rc4State state = keyed(key);
    Bytes out(length);
    for (auto &b : out)
        b = state.EnDeCryptSingle(0);
    return out;
}

Bytes randomBytes(std::size_t length)
{
    Bytes out(length);
    for (auto &b : out)
        b = static_cast<std::uint8_t>(QRandomGenerator::global()->bounded(256));
    return out;
}

bool sameState(const Rc4State &a, const Rc4State &b)
{
    return a.sbox == b.sbox && a.keytab == b.keytab && a.idxI == b.idxI && a.idxJ == b.idxJ;
}

// The counter j for which the next step's j lands on `target`.
std::int16_t jLandingOn(const Rc4State &state, int target)
{
    const int nextI = (state.idxI + 1) & 255;
    return static_cast<std::int16_t>((target - state.sbox[nextI]) & 255);
}

// Kernels for the chooser that do a real kernel's work and move a fake clock by what the test
// says each costs per byte.
std::uint64_t fakeTicks = 0;
std::uint64_t fakeReads = 0;
std::array<int, 4> fakeCosts{};

template <std::size_t K>
void fakeCostRun(Rc4State &state, std::span<const std::uint8_t> in, std::span<std::uint8_t> out)
{
    rc4Kernels()[K].run(state, in, out);
    fakeTicks += in.size() * std::uint64_t(fakeCosts[K]);
}

const std::array<Rc4Kernel, 4> fakeCostKernels = {
    Rc4Kernel{"0", fakeCostRun<0>}, Rc4Kernel{"1", fakeCostRun<1>}, Rc4Kernel{"2", fakeCostRun<2>},
    Rc4Kernel{"3", fakeCostRun<3>}};

} // namespace

class TestRc4 : public QObject
{
    Q_OBJECT

private slots:
    void publishedVectors_data();
    void publishedVectors();
    void keyExpansion();
    void passwordsEqualUpTo256CharactersGiveOneStream();
    void rekeyingLeavesCountersAlone();
    void bulkEqualsPerByte();
    void bulkInPlaceAndShortChunks();
    void bulkFromAnyState_data();
    void bulkFromAnyState();
    void bulkLongRun();
    void kernelsSwitchMidStream_data();
    void kernelsSwitchMidStream();
    void chooserFollowsTheClock_data();
    void chooserFollowsTheClock();
    void threadClockCountsOnlyWork();
    void roundTrip();
    void matchesOpenSsl();
};

// Keystream bytes of the published RC4 test vector set (keys 0x01 0x02 ... of 40 to 256
// bits, 16 bytes at offsets up to 4096), read from the copy under data/.
void TestRc4::publishedVectors_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<int>("offset");
    QTest::addColumn<QByteArray>("expected");

    QFile file(QStringLiteral(VARNOK_VECTORS_FILE));
    QVERIFY2(file.open(QIODevice::ReadOnly | QIODevice::Text), qPrintable(file.fileName()));
    QByteArray key;
    int rows = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.at(0) == "key") {
            key = fields.at(1);
            continue;
        }
        QTest::addRow("key %d bits @%s", int(key.size() * 4), fields.at(0).constData())
            << key << fields.at(0).toInt() << fields.at(1);
        ++rows;
    }
    QVERIFY(rows > 100);
}

void TestRc4::publishedVectors()
{
    QFETCH(QByteArray, key);
    QFETCH(int, offset);
    QFETCH(QByteArray, expected);

    const Bytes keyBytes = fromHex(key);
    const Bytes want = fromHex(expected);
    const std::size_t end = static_cast<std::size_t>(offset) + want.size();

    const Bytes perByte = keystreamPerByte(keyBytes, end);
    QCOMPARE(Bytes(perByte.begin() + offset, perByte.end()), want);

    Rc4State state = keyed(keyBytes);
    Bytes bulk(end, 0);
    state.transform(bulk);
    QCOMPARE(Bytes(bulk.begin() + offset, bulk.end()), want);
}

void TestRc4::keyExpansion()
{
    const Rc4State one = keyed({'Q'});
    for (auto entry : one.keytab)
        QCOMPARE(entry, std::int16_t('Q'));

    const Bytes sixteen = {'p',  'a',  's',  's', 'w', 'o', 'r', 'd',
                           0xE9, 0xFF, 0x80, '0', '1', '2', '3', ' '};
    const Rc4State full = keyed(sixteen);
    for (std::size_t i = 0; i < 256; ++i)
        QCOMPARE(full.keytab[i], std::int16_t(sixteen[i % 16]));

    // The permutation holds every value exactly once.
    std::array<int, 256> seen{};
    for (auto v : full.sbox) {
        QVERIFY(v >= 0 && v <= 255);
        ++seen[v];
    }
    QCOMPARE(std::count(seen.begin(), seen.end(), 1), 256);
}

void TestRc4::passwordsEqualUpTo256CharactersGiveOneStream()
{
    Bytes longKey = randomBytes(300);
    Bytes otherTail = longKey;
    otherTail[256] ^= 0x55;
    otherTail.resize(290);
    QCOMPARE(keystreamPerByte(longKey, 1000), keystreamPerByte(otherTail, 1000));

    // The 256th character does count. Its change alters the permutation in just two places,
    // which the first few dozen bytes miss about one time in eight; a full round of i reads
    // them all.
    Bytes differsAt256 = longKey;
    differsAt256[255] ^= 0x55;
    QVERIFY(keystreamPerByte(longKey, 1024) != keystreamPerByte(differsAt256, 1024));
}

void TestRc4::rekeyingLeavesCountersAlone()
{
    Rc4State state = keyed({'k', 'e', 'y'});
    for (int k = 0; k < 37; ++k)
        state.EnDeCryptSingle(0);
    const auto i = state.idxI;
    const auto j = state.idxJ;
    state.RC4ini(Bytes{'k', 'e', 'y'});
    QCOMPARE(state.idxI, i);
    QCOMPARE(state.idxJ, j);
    QCOMPARE(state.sbox, keyed({'k', 'e', 'y'}).sbox);
}

// The bulk transform must give the bytes and the final state of the per-byte reference for
// any key and any way of cutting the data into calls.
void TestRc4::bulkEqualsPerByte()
{
    auto *rng = QRandomGenerator::global();
    for (int round = 0; round < 50; ++round) {
        const Bytes key = randomBytes(1 + rng->bounded(40));
        const Bytes data = randomBytes(rng->bounded(20000));

        Rc4State reference = keyed(key);
        Bytes want(data.size());
        for (std::size_t k = 0; k < data.size(); ++k)
            want[k] = reference.EnDeCryptSingle(data[k]);

        Rc4State bulk = keyed(key);
        Bytes got(data.size());
        std::size_t pos = 0;
        while (pos < data.size()) {
            const std::size_t chunk = std::min<std::size_t>(
                data.size() - pos, rng->bounded(3) ? rng->bounded(18) : rng->bounded(5000));
            bulk.transform(std::span(data).subspan(pos, chunk), std::span(got).subspan(pos, chunk));
            pos += chunk;
        }
        QCOMPARE(got, want);
        QVERIFY(sameState(bulk, reference));
    }
}

void TestRc4::bulkInPlaceAndShortChunks()
{
    const Bytes key = randomBytes(16);
    // Every length 0..17 at every alignment 0..15 of the buffer.
    for (std::size_t length = 0; length <= 17; ++length) {
        for (std::size_t align = 0; align < 16; ++align) {
            Bytes storage = randomBytes(length + align + 1);
            const Bytes original = storage;
            std::span<std::uint8_t> window(storage.data() + align, length);

            Rc4State reference = keyed(key);
            reference.EnDeCryptSingle(0); // start mid-stream
            Rc4State bulk = reference;
            Bytes want(length);
            for (std::size_t k = 0; k < length; ++k)
                want[k] = reference.EnDeCryptSingle(window[k]);

            bulk.transform(window);
            QCOMPARE(Bytes(window.begin(), window.end()), want);
            QVERIFY(sameState(bulk, reference));
            // Nothing outside the window is touched.
            QCOMPARE(storage[length + align], original[length + align]);
            for (std::size_t k = 0; k < align; ++k)
                QCOMPARE(storage[k], original[k]);
        }
    }
}

// Start states the transform must get right from its very first step: i wrapping from 255,
// j landing on i (a swap with itself) or on a later i whose entry the swap just changed,
// both where single steps run and at the start of a block of steps, and the all-zero state
// of a never keyed object. Each runs out of place, with input and output at different
// misalignments, over lengths around the block size.
void TestRc4::bulkFromAnyState_data()
{
    QTest::addColumn<int>("startI");
    QTest::addColumn<int>("landOn"); // -1: keep j, n >= 0: the first step's j is its i + n
    QTest::addColumn<bool>("keyedFirst");

    QTest::newRow("fresh") << 0 << -1 << true;
    QTest::newRow("i wraps") << 255 << -1 << true;
    QTest::newRow("i wraps, j on i") << 255 << 0 << true;
    QTest::newRow("j on i") << 77 << 0 << true;
    QTest::newRow("j on next i") << 77 << 1 << true;
    QTest::newRow("j on next i at wrap") << 254 << 1 << true;
    QTest::newRow("block start, j on i") << 71 << 0 << true;
    QTest::newRow("block start, j on next i") << 71 << 1 << true;
    QTest::newRow("block start, j on i + 7") << 71 << 7 << true;
    QTest::newRow("block start, j on i + 8") << 71 << 8 << true;
    QTest::newRow("never keyed") << 0 << -1 << false;
}

void TestRc4::bulkFromAnyState()
{
    QFETCH(int, startI);
    QFETCH(int, landOn);
    QFETCH(bool, keyedFirst);

    Rc4State start = keyedFirst ? keyed(randomBytes(13)) : Rc4State();
    start.idxI = static_cast<std::int16_t>(startI);
    start.idxJ = 201;
    if (landOn >= 0) {
        start.idxJ = jLandingOn(start, (startI + 1 + landOn) & 255);
        Rc4State probe = start;
        probe.EnDeCryptSingle(0);
        QCOMPARE(probe.idxJ, std::int16_t((probe.idxI + landOn) & 255));
    }

    const std::size_t lengths[] = {0, 1, 2, 3, 5, 7, 8, 9, 15, 16, 17, 31, 63, 64, 65, 4097};
    for (std::size_t length : lengths) {
        for (std::size_t inShift = 0; inShift < 4; ++inShift) {
            const std::size_t outShift = (inShift * 5 + 3) % 8;
            const Bytes input = randomBytes(length + inShift);
            const std::span<const std::uint8_t> in(input.data() + inShift, length);
            Bytes output(length + outShift + 8, 0xA5);
            const std::span<std::uint8_t> out(output.data() + outShift, length);

            Rc4State reference = start;
            Bytes want;
            for (std::uint8_t b : in)
                want.push_back(reference.EnDeCryptSingle(b));

            // Every kernel the transform may choose, whichever it chose here.
            for (const Rc4Kernel &kernel : rc4Kernels()) {
                std::fill(output.begin(), output.end(), 0xA5);
                Rc4State bulk = start;
                kernel.run(bulk, in, out);
                QCOMPARE(Bytes(out.begin(), out.end()), want);
                QVERIFY(sameState(bulk, reference));
                // Nothing before or after the output window is written.
                QVERIFY(std::all_of(output.begin(), output.begin() + outShift,
                                    [](std::uint8_t b) { return b == 0xA5; }));
                QVERIFY(std::all_of(output.begin() + outShift + length, output.end(),
                                    [](std::uint8_t b) { return b == 0xA5; }));
            }
        }
    }
}

// Millions of steps in one call, so every counter value and a great many j == i swaps occur,
// then the same stream continued in odd-sized calls that end mid-block.
void TestRc4::bulkLongRun()
{
    const Bytes key = randomBytes(7);
    const Bytes data = randomBytes((3u << 20) + 5);

    Rc4State reference = keyed(key);
    Bytes want(data.size());
    for (std::size_t k = 0; k < data.size(); ++k)
        want[k] = reference.EnDeCryptSingle(data[k]);

    Rc4State whole = keyed(key);
    Bytes got(data.size());
    whole.transform(data, got);
    QCOMPARE(got, want);
    QVERIFY(sameState(whole, reference));

    Rc4State pieces = keyed(key);
    Bytes inPlace = data;
    std::size_t pos = 0;
    for (std::size_t chunk = 1; pos < inPlace.size(); chunk = chunk * 3 + 1) {
        const std::size_t n = std::min(chunk, inPlace.size() - pos);
        pieces.transform(std::span(inPlace).subspan(pos, n));
        pos += n;
    }
    QCOMPARE(inPlace, want);
    QVERIFY(sameState(pieces, reference));
}

// Each kernel hands the stream to another at cuts within blocks, at their edges and after runs.
void TestRc4::kernelsSwitchMidStream_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("second");
    const int count = int(rc4Kernels().size());
    for (int a = 0; a < count * count; ++a) {
        if (a / count != a % count)
            QTest::addRow("%s then %s", rc4Kernels()[a / count].name.data(),
                          rc4Kernels()[a % count].name.data())
                << a / count << a % count;
    }
}

void TestRc4::kernelsSwitchMidStream()
{
    QFETCH(int, first);
    QFETCH(int, second);
    const Rc4Kernel *both[] = {&rc4Kernels()[first], &rc4Kernels()[second]};
    auto *rng = QRandomGenerator::global();
    const Bytes data = randomBytes(200000);
    Rc4State reference = keyed(randomBytes(1 + rng->bounded(16)));
    Rc4State bulk = reference;
    Bytes want(data.size());
    for (std::size_t k = 0; k < data.size(); ++k)
        want[k] = reference.EnDeCryptSingle(data[k]);
    Bytes got(data.size());
    std::size_t pos = 0;
    for (int turn = 0; pos < data.size(); ++turn) {
        const std::size_t chunk = std::min<std::size_t>(
            data.size() - pos, turn % 4 == 3 ? 20000 + rng->bounded(9) : rng->bounded(40));
        both[turn % 2]->run(bulk, std::span(data).subspan(pos, chunk),
                            std::span(got).subspan(pos, chunk));
        pos += chunk;
    }
    QCOMPARE(got, want);
    QVERIFY(sameState(bulk, reference));
}

// The chooser settles on the kernel the clock says is cheapest, and again when the clock
// changes its mind. The stream stays byte-exact throughout.
void TestRc4::chooserFollowsTheClock_data()
{
    QTest::addColumn<QList<int>>("before");
    QTest::addColumn<int>("cheapestBefore");
    QTest::addColumn<QList<int>>("after");
    QTest::addColumn<int>("cheapestAfter");
    QTest::addColumn<int>("withinMiB"); // of the change
    QTest::addColumn<int>("newRounds"); // of timing every kernel, after the change

    // A change shows at the next probe of any kernel; one kernel's alone, when that is probed.
    const int probeMiB = int(Rc4KernelChooser::probeGap >> 20);
    const int turnsMiB = probeMiB * int(fakeCostKernels.size() - 1);
    QTest::newRow("last is cheapest") << QList{9, 7, 5, 3} << 3 << QList{9, 7, 5, 3} << 3 << 0 << 0;
    // As a burst of load from elsewhere does: nothing to time afresh.
    QTest::newRow("all slow down alike")
        << QList{4, 6, 8, 9} << 0 << QList{8, 12, 16, 18} << 0 << 0 << 0;
    QTest::newRow("running one slows")
        << QList{4, 6, 8, 9} << 0 << QList{12, 6, 5, 9} << 2 << probeMiB + 1 << 1;
    // The others only grow dearer beside it: nothing to time afresh either.
    QTest::newRow("running one speeds up")
        << QList{8, 6, 9, 9} << 1 << QList{5, 2, 4, 9} << 1 << 0 << 0;
    QTest::newRow("another speeds up")
        << QList{4, 6, 8, 9} << 0 << QList{4, 6, 8, 2} << 3 << turnsMiB + 1 << 1;
    QTest::newRow("clock stands still")
        << QList{0, 0, 0, 0} << 0 << QList{0, 0, 0, 0} << 0 << 0 << 0;
}

void TestRc4::chooserFollowsTheClock()
{
    QFETCH(QList<int>, before);
    QFETCH(int, cheapestBefore);
    QFETCH(QList<int>, after);
    QFETCH(int, cheapestAfter);
    QFETCH(int, withinMiB);
    QFETCH(int, newRounds);

    Rc4KernelChooser chooser(fakeCostKernels, [] {
        ++fakeReads;
        return fakeTicks;
    });
    Rc4State reference = keyed(randomBytes(11));
    Rc4State chosen = reference;
    const Bytes data = randomBytes(std::size_t(1) << 20);
    Bytes got(data.size());
    bool exact = true;
    auto runMiB = [&] {
        chooser.run(chosen, data, got);
        for (std::size_t k = 0; k < data.size(); ++k)
            exact = exact && got[k] == reference.EnDeCryptSingle(data[k]);
    };
    // Runs whole MiB until `cheapest` has run for 4 MiB in a row; returns the MiB that took.
    auto settle = [&](const QList<int> &costs, int cheapest) {
        std::copy(costs.begin(), costs.end(), fakeCosts.begin());
        int steady = 0;
        int mib = 0;
        for (; steady < 4 && mib < 40; ++mib) {
            runMiB();
            steady = int(chooser.currentIndex()) == cheapest ? steady + 1 : 0;
        }
        return mib - steady;
    };
    QCOMPARE(settle(before, cheapestBefore), 0);
    const std::size_t rounds = chooser.rounds();
    QVERIFY2(settle(after, cheapestAfter) <= withinMiB, chooser.current().name.data());
    // Once settled (and any probe that has yet to see the change has run), trying the others
    // costs at most 1% over the cheapest kernel alone, and the clock (a system call) is read a
    // few times per probe only.
    for (std::size_t mib = 0; mib < Rc4KernelChooser::probeGap >> 20; ++mib)
        runMiB();
    QCOMPARE(int(chooser.rounds() - rounds), newRounds);
    const std::uint64_t settled = fakeTicks;
    const std::uint64_t reads = fakeReads;
    for (int mib = 0; mib < 8; ++mib)
        runMiB();
    QVERIFY(double(fakeTicks - settled) <= 8.0 * double(data.size()) * after[cheapestAfter] * 1.01);
    QVERIFY(fakeReads - reads <= 4 * ((std::size_t(8) << 20) / Rc4KernelChooser::probeGap + 1));
    QVERIFY(exact);
    QVERIFY(sameState(chosen, reference));
}

// The chooser's clock must not count time the thread does not run.
void TestRc4::threadClockCountsOnlyWork()
{
    const std::uint64_t start = threadCpuTicks();
    volatile std::uint64_t sink = 0;
    for (std::uint64_t k = 0; k < 50'000'000; ++k)
        sink = sink + k;
    const std::uint64_t busy = threadCpuTicks() - start;
    if (busy == 0)
        QSKIP("this system does not tell a thread's CPU time");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::uint64_t slept = threadCpuTicks() - start - busy;
    QVERIFY2(slept < busy / 4, qPrintable(QString::number(slept) + " / " + QString::number(busy)));
}

void TestRc4::roundTrip()
{
    const Bytes key = {'s', 'e', 'c', 'r', 'e', 't'};
    const Bytes plain = randomBytes(100000);
    Bytes data = plain;
    Rc4State encrypt = keyed(key);
    encrypt.transform(data);
    QVERIFY(data != plain);

    // Input byte 0 yields the keystream byte itself.
    QCOMPARE(static_cast<std::uint8_t>(plain[0] ^ data[0]), keystreamPerByte(key, 1)[0]);

    Rc4State decrypt = keyed(key);
    decrypt.transform(data);
    QCOMPARE(data, plain);
}

// OpenSSL's RC4 is an independent implementation: same key bytes, same stream.
void TestRc4::matchesOpenSsl()
{
#ifndef VARNOK_HAVE_OPENSSL
    QSKIP("built without OpenSSL");
#else
    OSSL_PROVIDER *legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    if (!legacy)
        QSKIP("OpenSSL's legacy provider (which holds RC4) is not available");
    auto unloadLegacy = qScopeGuard([legacy] { OSSL_PROVIDER_unload(legacy); });
    OSSL_PROVIDER *base = OSSL_PROVIDER_load(nullptr, "default");
    auto unloadBase = qScopeGuard([base] { OSSL_PROVIDER_unload(base); });

    EVP_CIPHER *rc4 = EVP_CIPHER_fetch(nullptr, "RC4", nullptr);
    QVERIFY(rc4);
    auto freeCipher = qScopeGuard([rc4] { EVP_CIPHER_free(rc4); });

    auto *rng = QRandomGenerator::global();
    for (int round = 0; round < 20; ++round) {
        const Bytes key = randomBytes(1 + rng->bounded(32));
        const Bytes data = randomBytes(4096 + rng->bounded(4096));

        std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                            EVP_CIPHER_CTX_free);
        QVERIFY(EVP_EncryptInit_ex2(ctx.get(), rc4, nullptr, nullptr, nullptr));
        QVERIFY(EVP_CIPHER_CTX_set_key_length(ctx.get(), int(key.size())));
        QVERIFY(EVP_EncryptInit_ex2(ctx.get(), nullptr, key.data(), nullptr, nullptr));
        Bytes want(data.size());
        int written = 0;
        QVERIFY(EVP_EncryptUpdate(ctx.get(), want.data(), &written, data.data(), int(data.size())));
        QCOMPARE(std::size_t(written), data.size());

        Rc4State ours = keyed(key);
        Bytes got(data.size());
        ours.transform(data, got);
        QCOMPARE(got, want);
    }
#endif
}

QTEST_APPLESS_MAIN(TestRc4)
#include "tst_rc4.moc"
