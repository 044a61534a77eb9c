#pragma once

#include "rc4.h"

#include <QString>
#include <QtGlobal>

#include <functional>

QT_BEGIN_NAMESPACE
class QIODevice;
QT_END_NAMESPACE

namespace varnok {

// Bytes moved per read and per write: large enough to keep system calls rare, small enough
// that memory stays flat whatever the file's size.
inline constexpr qint64 cryptBlockSize = qint64(1) << 20;

// Called after every block with the bytes through the cipher so far and the bytes expected in
// all: the input's size, or the bytes done when the input turned out longer. Returns false to
// stop the stream there.
using CryptProgress = std::function<bool(qint64 done, qint64 total)>;

struct CryptStreamResult
{
    enum class Failure { None, Read, InputEndedEarly, Write, Stopped };

    Failure failure = Failure::None;
    QString errorString; // the failing device's own explanation, empty otherwise
    qint64 done = 0;     // bytes read, transformed and written

    bool ok() const { return failure == Failure::None; }
};

// Reads in to its end, passes every byte through cipher and writes it to out, block by block
// and in order. Both devices must be open; nothing is closed or committed here.
//
// expectedSize is what the input's size said before the run. An input may deliver more (files
// in /proc say 0, a file may grow meanwhile): every byte up to its end goes through. One that
// ends before expectedSize bytes, or is found shorter than that afterwards, has been cut short
// while it was read, or does not deliver what its size says: that is a failure, as is a read
// or write error.
//
// The cipher and the progress calls stay on the calling thread; the devices are read and
// written on a helper thread meanwhile, which has ended by the time this returns or throws.
// Neither device may be used elsewhere during the call.
[[nodiscard]] CryptStreamResult cryptStream(QIODevice &in, QIODevice &out, Rc4State &cipher,
                                            qint64 expectedSize,
                                            const CryptProgress &progress = {});

} // namespace varnok
