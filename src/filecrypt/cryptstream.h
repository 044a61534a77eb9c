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

// Called after every block with the bytes through the cipher so far and the total.
using CryptProgress = std::function<void(qint64 done, qint64 total)>;

struct CryptStreamResult
{
    enum class Failure { None, Read, InputEndedEarly, Write };

    Failure failure = Failure::None;
    QString errorString; // the failing device's own explanation, empty otherwise

    bool ok() const { return failure == Failure::None; }
};

// Reads total bytes from in, passes them through cipher and writes them to out, block by
// block and in order. Both devices must be open; nothing is closed or committed here. Stops at
// the first failure: a read or write error, or an input that ends before total bytes (or is
// found shorter than that at the end).
//
// The cipher and the progress calls stay on the calling thread; the devices are read and
// written on a helper thread meanwhile, which has ended by the time this returns or throws.
// Neither device may be used elsewhere during the call.
[[nodiscard]] CryptStreamResult cryptStream(QIODevice &in, QIODevice &out, Rc4State &cipher,
                                            qint64 total, const CryptProgress &progress = {});

} // namespace varnok
