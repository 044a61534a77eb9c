#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

namespace varnok {

// One line of the system's mount table, as far as choosing volumes needs it.
struct MountEntry
{
    QString mountPoint;
    QString fsType;
    QString device;
    QString label;    // the file system's label, empty when it has none
    int mountId = -1; // the kernel's number for this mount, where known
};

// A volume as the drive selector lists it.
struct Volume
{
    QString root;         // where it is mounted
    QString name;         // short, and unlike the other listed volumes' names
    bool network = false; // reached over the network

    friend bool operator==(const Volume &, const Volume &) = default;
};

// True for a mount a user would recognise as a volume of their own: the root filesystem,
// /home, removable media, network shares and other disks; false for kernel pseudo
// filesystems, runtime tmpfs, container and snap internals and files bind-mounted over /etc.
bool isUserVolume(const MountEntry &entry);

// The entries of user volumes, each mount point once: the entry mounted last (on top) there.
QList<MountEntry> userMounts(const QList<MountEntry> &entries);

// The user volumes in entries, each mount point once, "/" first, then by path. Each is named by
// its label, else by the last part of its mount path ("/" for the root); volumes that would
// share a name are named by the last part of their paths instead, or by the whole paths.
QList<Volume> userVolumes(const QList<MountEntry> &entries);

// The mount points of the user volumes in entries, in the same order.
QStringList userVolumeRoots(const QList<MountEntry> &entries);

// Volumes at these absolute roots, named as userVolumes() names volumes without labels; for a
// picker that lists chosen folders rather than the system's volumes.
QList<Volume> volumesAt(const QStringList &roots);

// The longest root of roots that path lies on (whole path components only), or an empty string
// when it lies on none.
QString volumeRootOf(const QStringList &roots, const QString &path);

// True when fsType names a filesystem reached over the network.
bool isNetworkFsType(const QString &fsType);

// The running system's mount table. On Linux it is read without touching any of its volumes;
// on Windows, where the drive selector lists drive letters instead, QStorageInfo asks each one.
QList<MountEntry> systemMounts();

// Whether the volume mounted at root is one to list; may wait on the volume for as long as it
// does not answer. On Linux a statfs, which leaves out file systems without any space.
using VolumeProbe = std::function<bool(const QString &root)>;
bool probeVolume(const QString &root); // the system's own
// Probes volumes another way from now on (tests: a volume that does not answer); an empty
// function restores the system's own.
void setVolumeProbe(VolumeProbe probe);

// The entries whose volumes have answered their probe and are to be listed. Each mount is probed
// once, on a thread of its own; new ones are waited for up to answerWait, so that the list is
// whole from the start as a rule. One that answers later is added then: the VolumeWatchers hear
// of it. One that never answers is never listed, and holds up nothing but its own thread.
QList<MountEntry> answeringMounts(const QList<MountEntry> &entries);

// Path cleaned as QDir::cleanPath does, with a drive letter in upper case: Windows takes either
// case, and the picker compares paths as text.
QString cleanVolumePath(const QString &path);

// The root of the tree the absolute, clean path lies in: its drive's "C:/" where it names a
// drive, its share's "//server/share" where it names a share (only Windows keeps a leading "//"
// in a clean path), else "/".
QString fileSystemRootOf(const QString &path);

// The volumes the drive selector offers on the running system: on Linux its user volumes ("/"
// alone where there are none), on Windows its drive letters.
QList<Volume> systemVolumes();

// Tells when the running system's volumes may have changed. Costs nothing until a change.
class VolumeWatcher final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VolumeWatcher)

public:
    explicit VolumeWatcher(QObject *parent = nullptr);
    ~VolumeWatcher() override;

    // False where the system offers no way to hear of changes; then changed() never comes.
    bool isWatching() const;

    // Tells every watcher, from any thread, that the volumes may have changed: for what threads
    // of their own learn (a label, a volume that answered late).
    static void tellAll();

signals:
    void changed();

private:
    // Every watcher alive hears tellAll(); each platform's constructor and destructor call these.
    void listenToAll();
    void stopListening();

    struct Private;
    std::unique_ptr<Private> d;
};

// The volumes the picker currently lists, shared by the drive selector (which shows them) and the
// folder list (which needs the volume a path lies on to show its chain of parents). Read from a
// source: the running system's volumes, or a fixed list.
class VolumeRegistry final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VolumeRegistry)

public:
    using Source = std::function<QList<Volume>()>;

    static VolumeRegistry &instance();

    QList<Volume> volumes() const { return m_volumes; }
    QStringList roots() const;
    // Lists exactly the volumes at these roots from now on (see volumesAt()).
    void setRoots(const QStringList &roots);
    // Reads the volumes from source from now on, starting now.
    void setSource(Source source);
    // Reads the running system's volumes from now on, starting now, and again whenever they
    // change.
    void loadSystemVolumes();
    // Reads the source again; emits rootsChanged() when the list differs.
    void refresh();
    // Whether the source, read afresh, still has a volume at root. One unmounted since the last
    // refresh leaves a plain folder of the parent volume at its mount point.
    bool isMounted(const QString &root) const;
    QString rootOf(const QString &path) const { return volumeRootOf(roots(), path); }
    bool isNetwork(const QString &root) const;

signals:
    void rootsChanged();

private:
    VolumeRegistry();

    Source m_source;
    QList<Volume> m_volumes;
    VolumeWatcher *m_watcher = nullptr;
    // Mount tables change in bursts (a container starting mounts dozens of file systems): one
    // re-read per burst.
    QTimer m_refreshSoon;
};

} // namespace varnok
