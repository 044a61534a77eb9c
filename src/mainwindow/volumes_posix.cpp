// The running system's volumes on Linux: the user volumes of its mount table that answer.
#include "volumes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSocketNotifier>

#include <optional>

#include <sys/vfs.h>

namespace varnok {

namespace {

// The kernel writes space, tab, newline and backslash in the table's fields as octal escapes.
QByteArray unescaped(const QByteArray &field)
{
    QByteArray plain;
    plain.reserve(field.size());
    for (qsizetype at = 0; at < field.size(); ++at) {
        if (field.at(at) == '\\' && at + 3 < field.size()) {
            bool ok = false;
            const int code = field.mid(at + 1, 3).toInt(&ok, 8);
            if (ok) {
                plain.append(char(code));
                at += 3;
                continue;
            }
        }
        plain.append(field.at(at));
    }
    return plain;
}

// One line of /proc/self/mountinfo: "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3
// /dev/root rw,errors=continue", with any number of optional fields before the "-".
std::optional<MountEntry> parseMountLine(const QByteArray &line)
{
    const QList<QByteArray> fields = line.split(' ');
    const qsizetype separator = fields.indexOf("-");
    if (fields.size() < 5 || separator < 6 || separator + 2 >= fields.size())
        return std::nullopt;
    MountEntry entry;
    bool numbered = false;
    entry.mountId = fields.at(0).toInt(&numbered);
    entry.mountPoint = QFile::decodeName(unescaped(fields.at(4)));
    entry.fsType = QString::fromLocal8Bit(unescaped(fields.at(separator + 1)));
    entry.device = QFile::decodeName(unescaped(fields.at(separator + 2)));
    if (!numbered)
        return std::nullopt;
    return entry;
}

// udev's links /dev/disk/by-label/NAME to the devices, with bytes outside a safe set written
// as \xNN in NAME. Only /dev is read, which never waits on a volume.
QHash<QString, QString> labelsByDevice()
{
    QHash<QString, QString> labels;
    const QDir links(QStringLiteral("/dev/disk/by-label"));
    for (const QString &name : links.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        QByteArray label = name.toUtf8();
        for (qsizetype at = label.indexOf("\\x"); at >= 0 && at + 4 <= label.size();
             at = label.indexOf("\\x", at + 1)) {
            bool ok = false;
            const int code = label.mid(at + 2, 2).toInt(&ok, 16);
            if (ok)
                label.replace(at, 4, QByteArray(1, char(code)));
        }
        labels.insert(QFileInfo(links.filePath(name)).canonicalFilePath(),
                      QString::fromUtf8(label));
    }
    return labels;
}

} // namespace

QList<MountEntry> systemMounts()
{
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return {};
    const QHash<QString, QString> labels = labelsByDevice();
    QList<MountEntry> entries;
    for (const QByteArray &line : table.readAll().split('\n')) {
        std::optional<MountEntry> entry = parseMountLine(line);
        if (!entry)
            continue;
        // Only a device node is looked up: anything else ("server:/export") would be taken for
        // a path in the current folder, which may be on a volume that does not answer.
        if (entry->device.startsWith(QLatin1String("/dev/")))
            entry->label = labels.value(QFileInfo(entry->device).canonicalFilePath());
        entries.append(*entry);
    }
    return entries;
}

// A statfs waits on the volume as any use of it would. A volume without any blocks is a pseudo
// file system that the type filter does not know; one whose statfs fails is listed all the
// same, and put back when picked.
bool probeVolume(const QString &root)
{
    struct statfs info = {};
    if (::statfs(QFile::encodeName(root).constData(), &info) != 0)
        return true;
    return info.f_blocks > 0 || root == QLatin1String("/");
}

QList<Volume> systemVolumes()
{
    QList<Volume> volumes = userVolumes(answeringMounts(userMounts(systemMounts())));
    if (volumes.isEmpty()) // a picker without any volume would be a dead end
        volumes = volumesAt({QStringLiteral("/")});
    return volumes;
}

// The kernel marks an open mount table as having an exceptional condition after each change,
// which poll() reports; inotify, and with it QFileSystemWatcher, sees nothing, as the file is
// generated afresh on each read.
struct VolumeWatcher::Private
{
    QFile table{QStringLiteral("/proc/self/mountinfo")};
    std::unique_ptr<QSocketNotifier> notifier; // let go of the descriptor before the file closes it
};

VolumeWatcher::VolumeWatcher(QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Private>())
{
    listenToAll();
    if (!d->table.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return; // no /proc
    d->notifier = std::make_unique<QSocketNotifier>(d->table.handle(), QSocketNotifier::Exception);
    connect(d->notifier.get(), &QSocketNotifier::activated, this, &VolumeWatcher::changed);
}

VolumeWatcher::~VolumeWatcher()
{
    stopListening();
}

bool VolumeWatcher::isWatching() const
{
    return d->notifier != nullptr;
}

} // namespace varnok
