#include "cryptstream.h"

#include <QIODevice>

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace varnok {

namespace {

using Failure = CryptStreamResult::Failure;

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

} // namespace

CryptStreamResult cryptStream(QIODevice &in, QIODevice &out, Rc4State &cipher, qint64 total,
                              const CryptProgress &progress)
{
    std::vector<std::uint8_t> block(std::size_t(std::min(total, cryptBlockSize)));
    qint64 done = 0;
    while (done < total) {
        const qint64 length = std::min(total - done, cryptBlockSize);
        const qint64 got = readFully(in, block.data(), length);
        if (got < 0)
            return failed(Failure::Read, in);
        if (got < length)
            return failed(Failure::InputEndedEarly, in);
        const std::span<std::uint8_t> bytes(block.data(), std::size_t(length));
        cipher.transform(bytes);
        if (out.write(reinterpret_cast<const char *>(bytes.data()), length) != length)
            return failed(Failure::Write, out);
        done += length;
        if (progress)
            progress(done, total);
    }
    return {};
}

} // namespace varnok
