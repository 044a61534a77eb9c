#include "volumes.h"

#include <QDir>
#include <QStorageInfo>

#include <algorithm>

namespace varnok {

namespace {

bool isPseudoFsType(const QString &fsType)
{
    static const QStringList pseudo = {
        QStringLiteral("proc"),
        QStringLiteral("sysfs"),
        QStringLiteral("devtmpfs"),
        QStringLiteral("devpts"),
        QStringLiteral("tmpfs"),
        QStringLiteral("ramfs"),
        QStringLiteral("cgroup"),
        QStringLiteral("cgroup2"),
        QStringLiteral("securityfs"),
        QStringLiteral("pstore"),
        QStringLiteral("bpf"),
        QStringLiteral("debugfs"),
        QStringLiteral("tracefs"),
        QStringLiteral("configfs"),
        QStringLiteral("fusectl"),
        QStringLiteral("mqueue"),
        QStringLiteral("hugetlbfs"),
        QStringLiteral("autofs"),
        QStringLiteral("binfmt_misc"),
        QStringLiteral("efivarfs"),
        QStringLiteral("rpc_pipefs"),
        QStringLiteral("nsfs"),
        QStringLiteral("selinuxfs"),
        QStringLiteral("squashfs"),
        QStringLiteral("overlay"),
        QStringLiteral("aufs"),
        QStringLiteral("nfsd"),
        QStringLiteral("rootfs"),
        QStringLiteral("fuse.lxcfs"),
        QStringLiteral("fuse.portal"),
        QStringLiteral("fuse.gvfsd-fuse"),
        QStringLiteral("none"),
    };
    return pseudo.contains(fsType);
}

bool isUnder(const QString &path, const QString &tree)
{
    return path == tree || path.startsWith(tree + QLatin1Char('/'));
}

bool isUnderAny(const QString &path, std::initializer_list<const char *> trees)
{
    return std::any_of(trees.begin(), trees.end(),
                       [&](const char *tree) { return isUnder(path, QString::fromLatin1(tree)); });
}

// Kernel interfaces and per-session runtime state; removable media under /run/media is the
// one exception.
bool isKernelOrRuntimeTree(const QString &path)
{
    return isUnderAny(path, {"/proc", "/sys", "/dev"}) ||
           (isUnder(path, QStringLiteral("/run")) && !isUnder(path, QStringLiteral("/run/media")));
}

// Trees the operating system keeps for itself, even when they are separate disks.
bool isSystemTree(const QString &path)
{
    return isUnderAny(path, {"/boot", "/efi", "/etc", "/snap", "/usr", "/var", "/tmp"});
}

bool isUserMediaTree(const QString &path)
{
    return isUnderAny(path, {"/home", "/media", "/run/media", "/mnt"});
}

QString cleanRoot(const QString &root)
{
    return QDir::cleanPath(root);
}

void sortRoots(QStringList &roots)
{
    // Plain ordering puts "/" first and each volume before the ones mounted inside it.
    std::sort(roots.begin(), roots.end());
    roots.erase(std::unique(roots.begin(), roots.end()), roots.end());
}

} // namespace

bool isNetworkFsType(const QString &fsType)
{
    static const QStringList network = {
        QStringLiteral("nfs"),         QStringLiteral("nfs4"),
        QStringLiteral("cifs"),        QStringLiteral("smb3"),
        QStringLiteral("smbfs"),       QStringLiteral("9p"),
        QStringLiteral("afs"),         QStringLiteral("ceph"),
        QStringLiteral("glusterfs"),   QStringLiteral("davfs"),
        QStringLiteral("fuse.sshfs"),  QStringLiteral("fuse.davfs"),
        QStringLiteral("fuse.rclone"), QStringLiteral("fuse.glusterfs"),
        QStringLiteral("fuse.s3fs"),
    };
    return network.contains(fsType);
}

bool isUserVolume(const MountEntry &entry)
{
    const QString point = cleanRoot(entry.mountPoint);
    if (point == QLatin1String("/"))
        return true; // whatever it is made of, even an overlay inside a container
    if (!point.startsWith(QLatin1Char('/')) || isPseudoFsType(entry.fsType) ||
        isKernelOrRuntimeTree(point))
        return false;
    if (isNetworkFsType(entry.fsType))
        return true;
    if (isSystemTree(point))
        return false;
    return isUserMediaTree(point) || entry.device.startsWith(QLatin1String("/dev/"));
}

QStringList userVolumeRoots(const QList<MountEntry> &entries)
{
    QStringList roots;
    for (const MountEntry &entry : entries) {
        if (isUserVolume(entry))
            roots << cleanRoot(entry.mountPoint);
    }
    sortRoots(roots);
    return roots;
}

QString volumeRootOf(const QStringList &roots, const QString &path)
{
    const QString cleaned = QDir::cleanPath(path);
    QString best;
    for (const QString &root : roots) {
        const bool matches = root == QLatin1String("/") ? cleaned.startsWith(QLatin1Char('/'))
                                                        : isUnder(cleaned, root);
        if (matches && root.size() > best.size())
            best = root;
    }
    return best;
}

QList<MountEntry> systemMounts()
{
    QList<MountEntry> entries;
    const QList<QStorageInfo> volumes = QStorageInfo::mountedVolumes();
    for (const QStorageInfo &volume : volumes) {
        entries.append({volume.rootPath(), QString::fromLocal8Bit(volume.fileSystemType()),
                        QString::fromLocal8Bit(volume.device())});
    }
    return entries;
}

VolumeRegistry &VolumeRegistry::instance()
{
    static VolumeRegistry registry;
    return registry;
}

void VolumeRegistry::setRoots(const QStringList &roots)
{
    QStringList cleaned;
    for (const QString &root : roots) {
        if (root.startsWith(QLatin1Char('/')))
            cleaned << cleanRoot(root);
    }
    sortRoots(cleaned);
    replace(cleaned, {});
}

void VolumeRegistry::loadSystemVolumes()
{
    const QList<MountEntry> mounts = systemMounts();
    QStringList roots = userVolumeRoots(mounts);
    if (roots.isEmpty())
        roots << QStringLiteral("/"); // a picker without any volume would be a dead end
    QStringList network;
    for (const MountEntry &entry : mounts) {
        if (isNetworkFsType(entry.fsType))
            network << cleanRoot(entry.mountPoint);
    }
    replace(roots, network);
}

void VolumeRegistry::replace(const QStringList &roots, const QStringList &networkRoots)
{
    m_networkRoots = networkRoots;
    if (roots == m_roots)
        return;
    m_roots = roots;
    emit rootsChanged();
}

} // namespace varnok
