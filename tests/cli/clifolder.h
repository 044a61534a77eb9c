#pragma once

// A folder of test files for the console program's suites, set up and checked in words a row
// of a data-driven test can hold.

#include "testfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace clifolder {

// What each file of a setup holds: its own name, so that no two are alike.
inline QByteArray original(const QString &name)
{
    return (QStringLiteral("the bytes of ") + name + u'\n').toUtf8().repeated(300);
}

inline bool create(const QDir &folder, const QStringList &names)
{
    for (const QString &name : names)
        if (!folder.mkpath(QFileInfo(name).path()) ||
            !testfiles::writeAll(folder.filePath(name), original(name)))
            return false;
    return true;
}

// Checks "name=what" for each entry, what being "original" (as made), "missing", or "rc4 other"
// (other's original bytes through the cipher keyed by password). The first entry that does not
// hold, or nothing.
inline QString firstMismatch(const QDir &folder, const QStringList &expected,
                             const QString &password)
{
    for (const QString &entry : expected) {
        const QString name = entry.section(u'=', 0, 0);
        const QString what = entry.section(u'=', 1);
        QFile file(folder.filePath(name));
        const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : "missing";
        if (bytes != (what == QLatin1String("missing") ? QByteArray("missing")
                      : what == QLatin1String("original")
                          ? original(name)
                          : testfiles::rc4(password, original(what.sliced(4)))))
            return entry;
    }
    return {};
}

} // namespace clifolder
