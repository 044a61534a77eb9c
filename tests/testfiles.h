#pragma once

// Helpers that several suites share: the expected bytes of a run, from the cipher's per-byte
// step alone, writing a test file, and removing a test's folder.

#include "codepage1252.h"
#include "rc4.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdint>
#include <filesystem>
#include <span>
#include <system_error>

namespace testfiles {

// data through RC4 keyed with key's bytes, one EnDeCryptSingle step a byte: what any command
// must write, whatever faster path it takes.
inline QByteArray rc4(const QByteArray &key, const QByteArray &data)
{
    varnok::Rc4State state;
    state.RC4ini(std::span(reinterpret_cast<const std::uint8_t *>(key.data()),
                           static_cast<std::size_t>(key.size())));
    QByteArray out(data.size(), Qt::Uninitialized);
    for (qsizetype k = 0; k < data.size(); ++k)
        out[k] = char(state.EnDeCryptSingle(std::uint8_t(data[k])));
    return out;
}

// A password keys by its Windows-1252 codes (no key for one that has none).
inline QByteArray rc4(const QString &password, const QByteArray &data)
{
    const auto codes = varnok::toWindows1252(password.toStdU16String());
    return rc4(
        codes ? QByteArray(reinterpret_cast<const char *>(codes->data()), qsizetype(codes->size()))
              : QByteArray(),
        data);
}

inline QByteArray rc4(const char *key, const QByteArray &data)
{
    return rc4(QByteArray(key), data);
}

inline bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Removes the folder at path with all in it, by the names as the folder holds them: QDir and
// QTemporaryDir skip a Linux name that is not UTF-8 and then leave its whole tree behind. The
// path itself must be one QString can hold, as a temporary folder's is.
inline bool removeTree(const QString &path)
{
    std::error_code error;
    std::filesystem::remove_all(std::filesystem::path(path.toStdU16String()), error);
    return !error;
}

} // namespace testfiles
