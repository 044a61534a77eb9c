#include "volumes.h"

#include "filename.h"
#include "offthread.h"

#include <QDir>
#include <QHash>
#include <QMap>
#include <QPointer>
#include <QSet>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

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

// A tree that ends in "/" is a root ("/", or a drive's "C:/").
bool isUnder(const QString &path, const QString &tree)
{
    if (tree.endsWith(QLatin1Char('/')))
        return path.startsWith(tree);
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
    return cleanVolumePath(root);
}

// A root ("/", "C:/") has no last part and goes by its whole path.
QString lastPart(const QString &root)
{
    const QString part = lastPathPart(root);
    return part.isEmpty() ? root : part;
}

// Absolute, and not one of Qt's resource paths (":/..."), which QDir counts as absolute.
bool isAbsoluteRoot(const QString &root)
{
    return !root.startsWith(QLatin1Char(':')) && QDir::isAbsolutePath(root);
}

// Gives every volume whose name another one shares the name naming(root) instead.
void tellApart(QList<Volume> &volumes, QString (*naming)(const QString &))
{
    QHash<QString, int> uses;
    for (const Volume &volume : volumes)
        ++uses[volume.name];
    for (Volume &volume : volumes) {
        if (uses.value(volume.name) > 1)
            volume.name = naming(volume.root);
    }
}

QString wholePath(const QString &root)
{
    return root;
}

// One volume per mount point, the entry mounted last (the one on top) counting. The map's plain
// ordering puts "/" first and each volume before the ones mounted inside it.
QList<Volume> namedVolumes(const QMap<QString, MountEntry> &byRoot)
{
    QList<Volume> volumes;
    for (auto entry = byRoot.cbegin(); entry != byRoot.cend(); ++entry) {
        const QString &root = entry.key();
        const bool labelled = !entry->label.isEmpty() && root != QLatin1String("/");
        volumes.append(
            {root, labelled ? entry->label : lastPart(root), isNetworkFsType(entry->fsType)});
    }
    tellApart(volumes, lastPart);
    tellApart(volumes, wholePath);
    return volumes;
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

QList<MountEntry> userMounts(const QList<MountEntry> &entries)
{
    QMap<QString, MountEntry> byRoot;
    for (const MountEntry &entry : entries) {
        if (isUserVolume(entry))
            byRoot.insert(cleanRoot(entry.mountPoint), entry);
    }
    return byRoot.values();
}

QList<Volume> userVolumes(const QList<MountEntry> &entries)
{
    QMap<QString, MountEntry> byRoot;
    for (const MountEntry &entry : userMounts(entries))
        byRoot.insert(cleanRoot(entry.mountPoint), entry);
    return namedVolumes(byRoot);
}

QStringList userVolumeRoots(const QList<MountEntry> &entries)
{
    QStringList roots;
    for (const Volume &volume : userVolumes(entries))
        roots << volume.root;
    return roots;
}

QList<Volume> volumesAt(const QStringList &roots)
{
    QMap<QString, MountEntry> byRoot;
    for (const QString &root : roots) {
        if (isAbsoluteRoot(root))
            byRoot.insert(cleanRoot(root), {root, {}, {}, {}});
    }
    return namedVolumes(byRoot);
}

QString volumeRootOf(const QStringList &roots, const QString &path)
{
    const QString cleaned = cleanVolumePath(path);
    QString best;
    for (const QString &root : roots) {
        if (isUnder(cleaned, root) && root.size() > best.size())
            best = root;
    }
    return best;
}

QString cleanVolumePath(const QString &path)
{
    QString cleaned = QDir::cleanPath(path);
    const bool drive = cleaned.size() >= 2 && cleaned.at(1) == QLatin1Char(':') &&
                       cleaned.at(0).isLetter() && QDir::isAbsolutePath(cleaned);
    if (drive)
        cleaned[0] = cleaned.at(0).toUpper();
    return cleaned;
}

QString fileSystemRootOf(const QString &path)
{
    if (path.startsWith(QLatin1String("//"))) {
        const qsizetype serverEnd = path.indexOf(QLatin1Char('/'), 2);
        const qsizetype shareEnd =
            serverEnd < 0 ? -1 : path.indexOf(QLatin1Char('/'), serverEnd + 1);
        return shareEnd < 0 ? path : path.first(shareEnd);
    }
    const bool drive = path.size() >= 3 && path.at(1) == QLatin1Char(':') &&
                       path.at(2) == QLatin1Char('/') && QDir::isAbsolutePath(path);
    return drive ? path.first(3) : QStringLiteral("/");
}

namespace {

// Where tellAll() goes: an object of the GUI thread, made by the first watcher, and the
// watchers alive. Never destroyed: a thread stuck on a volume must find it whenever it returns.
struct VolumeNews
{
    std::mutex mutex;
    QObject *guiThread = nullptr;
    QList<QPointer<VolumeWatcher>> watchers; // GUI thread only
};

VolumeNews &volumeNews()
{
    static auto *news = new VolumeNews;
    return *news;
}

} // namespace

namespace {

// What the probes found, by mount; left alive at exit for the same reason.
struct Probes
{
    std::mutex mutex;
    std::condition_variable answered;
    QHash<QString, bool> listed; // by mount
    QSet<QString> asking;
    VolumeProbe probe; // empty: probeVolume()
};

Probes &probes()
{
    static auto *found = new Probes;
    return *found;
}

QString mountKey(const MountEntry &entry)
{
    return QString::number(entry.mountId) + u'\n' + entry.mountPoint + u'\n' + entry.device;
}

void probeMount(const QString &key, const QString &root, const VolumeProbe &probe)
{
    const bool listed = probe ? probe(root) : probeVolume(root);
    Probes &found = probes();
    {
        const std::lock_guard lock(found.mutex);
        found.listed.insert(key, listed);
        found.asking.remove(key);
    }
    found.answered.notify_all();
    VolumeWatcher::tellAll();
}

} // namespace

void setVolumeProbe(VolumeProbe probe)
{
    Probes &found = probes();
    const std::lock_guard lock(found.mutex);
    found.probe = std::move(probe);
}

QList<MountEntry> answeringMounts(const QList<MountEntry> &entries)
{
    Probes &found = probes();
    std::unique_lock lock(found.mutex);
    QStringList started;
    for (const MountEntry &entry : entries) {
        const QString key = mountKey(entry);
        if (found.listed.contains(key) || found.asking.contains(key))
            continue; // answered, or still being asked: not waited for again
        try {
            std::thread(probeMount, key, entry.mountPoint, found.probe).detach();
        } catch (const std::system_error &) {
            found.listed.insert(key, true); // no thread to spare: listed unasked, as before
            continue;
        }
        found.asking.insert(key);
        started << key;
    }
    found.answered.wait_for(lock, answerWait, [&found, &started] {
        return std::none_of(started.cbegin(), started.cend(),
                            [&found](const QString &key) { return found.asking.contains(key); });
    });
    QList<MountEntry> listed;
    for (const MountEntry &entry : entries) {
        if (found.listed.value(mountKey(entry)))
            listed << entry;
    }
    return listed;
}

void VolumeWatcher::tellAll()
{
    VolumeNews &news = volumeNews();
    const std::lock_guard lock(news.mutex);
    if (news.guiThread == nullptr)
        return; // nobody listens yet
    QMetaObject::invokeMethod(
        news.guiThread,
        [&news] {
            for (const QPointer<VolumeWatcher> &watcher : std::as_const(news.watchers)) {
                if (watcher)
                    emit watcher->changed();
            }
        },
        Qt::QueuedConnection);
}

void VolumeWatcher::listenToAll()
{
    VolumeNews &news = volumeNews();
    const std::lock_guard lock(news.mutex);
    if (news.guiThread == nullptr)
        news.guiThread = new QObject; // in the thread that watches
    news.watchers.append(this);
}

void VolumeWatcher::stopListening()
{
    VolumeNews &news = volumeNews();
    const std::lock_guard lock(news.mutex);
    news.watchers.removeAll(this);
}

VolumeRegistry::VolumeRegistry()
{
    constexpr int burstMs = 250; // how long a burst may last before the one re-read
    m_refreshSoon.setSingleShot(true);
    m_refreshSoon.setInterval(burstMs);
    connect(&m_refreshSoon, &QTimer::timeout, this, &VolumeRegistry::refresh);
}

VolumeRegistry &VolumeRegistry::instance()
{
    static VolumeRegistry registry;
    return registry;
}

QStringList VolumeRegistry::roots() const
{
    QStringList roots;
    for (const Volume &volume : m_volumes)
        roots << volume.root;
    return roots;
}

void VolumeRegistry::setRoots(const QStringList &roots)
{
    setSource([volumes = volumesAt(roots)] { return volumes; });
}

void VolumeRegistry::setSource(Source source)
{
    m_source = std::move(source);
    refresh();
}

void VolumeRegistry::loadSystemVolumes()
{
    if (m_watcher == nullptr) {
        m_watcher = new VolumeWatcher(this);
        // Not restarted by later changes, so that a long burst still ends in a re-read.
        connect(m_watcher, &VolumeWatcher::changed, this, [this] {
            if (!m_refreshSoon.isActive())
                m_refreshSoon.start();
        });
    }
    setSource(systemVolumes);
}

void VolumeRegistry::refresh()
{
    QList<Volume> volumes = m_source ? m_source() : QList<Volume>();
    if (volumes == m_volumes)
        return;
    m_volumes = std::move(volumes);
    emit rootsChanged();
}

bool VolumeRegistry::isMounted(const QString &root) const
{
    if (!m_source)
        return false;
    const QList<Volume> volumes = m_source();
    return std::any_of(volumes.cbegin(), volumes.cend(),
                       [&root](const Volume &volume) { return volume.root == root; });
}

bool VolumeRegistry::isNetwork(const QString &root) const
{
    return std::any_of(m_volumes.cbegin(), m_volumes.cend(), [&root](const Volume &volume) {
        return volume.root == root && volume.network;
    });
}

} // namespace varnok
