// The running system's volumes on Linux: the user volumes of its mount table.
#include "volumes.h"

#include <QFile>
#include <QSocketNotifier>

namespace varnok {

QList<Volume> systemVolumes()
{
    QList<Volume> volumes = userVolumes(systemMounts());
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
    if (!d->table.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return; // no /proc
    d->notifier = std::make_unique<QSocketNotifier>(d->table.handle(), QSocketNotifier::Exception);
    connect(d->notifier.get(), &QSocketNotifier::activated, this, &VolumeWatcher::changed);
}

VolumeWatcher::~VolumeWatcher() = default;

bool VolumeWatcher::isWatching() const
{
    return d->notifier != nullptr;
}

} // namespace varnok
