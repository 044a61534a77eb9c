#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

namespace varnok {

// One line of the system's mount table, as far as choosing volumes needs it.
struct MountEntry
{
    QString mountPoint;
    QString fsType;
    QString device;
};

// True for a mount a user would recognise as a volume of their own: the root filesystem,
// /home, removable media, network shares and other disks; false for kernel pseudo
// filesystems, runtime tmpfs, container and snap internals and files bind-mounted over /etc.
bool isUserVolume(const MountEntry &entry);

// The mount points of the user volumes in entries, each once, "/" first, then by path.
QStringList userVolumeRoots(const QList<MountEntry> &entries);

// The longest root of roots that path lies on (whole path components only), or an empty string
// when it lies on none.
QString volumeRootOf(const QStringList &roots, const QString &path);

// True when fsType names a filesystem reached over the network.
bool isNetworkFsType(const QString &fsType);

// The running system's mount table.
QList<MountEntry> systemMounts();

// The volumes the picker currently lists, shared by the drive selector (which sets them) and the
// folder list (which needs the volume a path lies on to show its chain of parents).
class VolumeRegistry final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VolumeRegistry)

public:
    static VolumeRegistry &instance();

    QStringList roots() const { return m_roots; }
    // Sorts and de-duplicates roots; emits rootsChanged() when the list differs.
    void setRoots(const QStringList &roots);
    // Re-reads the running system's volumes.
    void loadSystemVolumes();
    QString rootOf(const QString &path) const { return volumeRootOf(m_roots, path); }
    bool isNetwork(const QString &root) const { return m_networkRoots.contains(root); }

signals:
    void rootsChanged();

private:
    VolumeRegistry() = default;
    void replace(const QStringList &roots, const QStringList &networkRoots);

    QStringList m_roots;
    QStringList m_networkRoots;
};

} // namespace varnok
