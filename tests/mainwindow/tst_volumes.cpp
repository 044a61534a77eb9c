#include "volumes.h"

#include <QAbstractEventDispatcher>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_WIN
#include <windows.h>

#include <dbt.h> // needs windows.h first
#else
#include <sys/mount.h>
#endif

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

using varnok::MountEntry;
using varnok::Volume;

namespace {

MountEntry mount(const char *device, const char *point, const char *type, const char *label = "")
{
    return {QString::fromUtf8(point), QString::fromUtf8(type), QString::fromUtf8(device),
            QString::fromUtf8(label)};
}

QStringList rootsOf(const QList<Volume> &volumes)
{
    QStringList roots;
    for (const Volume &volume : volumes)
        roots << volume.root;
    return roots;
}

// The mount points this process's mount table lists, read here without QStorageInfo. The
// kernel writes space, tab, newline and backslash in them as octal escapes.
QStringList listedMountPoints()
{
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return {};
    QStringList points;
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 5)
            continue;
        QByteArray point = fields.at(4);
        for (const char *escape : {"\\040", "\\011", "\\012", "\\134"})
            point.replace(escape, QByteArray(1, char(QByteArray(escape + 1).toInt(nullptr, 8))));
        points << QFile::decodeName(point);
    }
    return points;
}

QStringList namesOf(const QList<Volume> &volumes)
{
    QStringList names;
    for (const Volume &volume : volumes)
        names << volume.name;
    return names;
}

// A laptop with a separate /home, a USB stick, an SD card, a network share and the usual
// kernel and desktop-session mounts.
QList<MountEntry> desktopTable()
{
    return {
        mount("sysfs", "/sys", "sysfs"),
        mount("proc", "/proc", "proc"),
        mount("udev", "/dev", "devtmpfs"),
        mount("devpts", "/dev/pts", "devpts"),
        mount("tmpfs", "/run", "tmpfs"),
        mount("/dev/nvme0n1p2", "/", "ext4"),
        mount("securityfs", "/sys/kernel/security", "securityfs"),
        mount("tmpfs", "/dev/shm", "tmpfs"),
        mount("cgroup2", "/sys/fs/cgroup", "cgroup2"),
        mount("bpf", "/sys/fs/bpf", "bpf"),
        mount("systemd-1", "/proc/sys/fs/binfmt_misc", "autofs"),
        mount("mqueue", "/dev/mqueue", "mqueue"),
        mount("/dev/loop0", "/snap/core22/1033", "squashfs"),
        mount("/dev/nvme0n1p1", "/boot/efi", "vfat"),
        mount("/dev/nvme0n1p3", "/home", "ext4"),
        mount("tmpfs", "/tmp", "tmpfs"),
        mount("overlay", "/var/lib/docker/overlay2/4f1e/merged", "overlay"),
        mount("tmpfs", "/run/user/1000", "tmpfs"),
        mount("gvfsd-fuse", "/run/user/1000/gvfs", "fuse.gvfsd-fuse"),
        mount("portal", "/run/user/1000/doc", "fuse.portal"),
        mount("/dev/sdb1", "/media/alice/USB STICK", "vfat"),
        mount("/dev/sdc1", "/run/media/bob/CARD", "exfat"),
        mount("fileserver:/export", "/mnt/share", "nfs4"),
        mount("alice@host:", "/home/alice/remote", "fuse.sshfs"),
        mount("/dev/sdd1", "/data", "xfs"),
    };
}

// Inside a container: an overlay root and the host's disk bind-mounted over single files.
QList<MountEntry> containerTable()
{
    return {
        mount("overlay", "/", "overlay"),
        mount("proc", "/proc", "proc"),
        mount("tmpfs", "/dev", "tmpfs"),
        mount("shm", "/dev/shm", "tmpfs"),
        mount("/dev/vda1", "/etc/hosts", "ext4"),
        mount("/dev/vda1", "/etc/resolv.conf", "ext4"),
        mount("/dev/vda1", "/etc/hostname", "ext4"),
        mount("proc", "/proc/sys", "proc"),
    };
}

} // namespace

class TestVolumes : public QObject
{
    Q_OBJECT

private slots:
    void userVolumes_data();
    void userVolumes();
    void volumeRootOf_data();
    void volumeRootOf();
    void watcherSeesMountsAndUnmounts();
    void volumeThatDoesNotAnswerWaitsAlone();
    void runningSystemListsWhatIsMounted();
};

void TestVolumes::userVolumes_data()
{
    QTest::addColumn<QList<MountEntry>>("table");
    QTest::addColumn<QStringList>("roots");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("desktop") << desktopTable()
                             << QStringList{"/",
                                            "/data",
                                            "/home",
                                            "/home/alice/remote",
                                            "/media/alice/USB STICK",
                                            "/mnt/share",
                                            "/run/media/bob/CARD"}
                             << QStringList{"/",         "data",  "home", "remote",
                                            "USB STICK", "share", "CARD"};
    QTest::newRow("container") << containerTable() << QStringList{"/"} << QStringList{"/"};
    QTest::newRow("stacked and trailing slash")
        << QList<MountEntry>{mount("/dev/sda1", "/", "ext4"),
                             mount("/dev/sdb1", "/media/x", "vfat"),
                             mount("/dev/sdb1", "/media/x/", "vfat")}
        << QStringList{"/", "/media/x"} << QStringList{"/", "x"};
    QTest::newRow("relative mount point")
        << QList<MountEntry>{mount("/dev/sda1", "media/x", "ext4")} << QStringList{}
        << QStringList{};
    QTest::newRow("two sticks alike")
        << QList<MountEntry>{mount("/dev/sdb1", "/media/root/USB3", "vfat"),
                             mount("/dev/sdc1", "/media/root/USB4", "vfat")}
        << QStringList{"/media/root/USB3", "/media/root/USB4"} << QStringList{"USB3", "USB4"};
    QTest::newRow("labels, but the root stays /")
        << QList<MountEntry>{mount("/dev/sda1", "/", "ext4", "cloudimg-rootfs"),
                             mount("/dev/sdb1", "/media/root/sdb1", "exfat", "Holiday photos")}
        << QStringList{"/", "/media/root/sdb1"} << QStringList{"/", "Holiday photos"};
    QTest::newRow("one label twice")
        << QList<MountEntry>{mount("/dev/sdb1", "/media/a/USB", "vfat", "USB"),
                             mount("/dev/sdc1", "/media/a/USB1", "vfat", "USB")}
        << QStringList{"/media/a/USB", "/media/a/USB1"} << QStringList{"USB", "USB1"};
    QTest::newRow("one last part twice")
        << QList<MountEntry>{mount("/dev/sdb1", "/media/a/backup", "ext4"),
                             mount("/dev/sdc1", "/mnt/backup", "ext4"),
                             mount("/dev/sdd1", "/media/a/more", "ext4", "backup")}
        << QStringList{"/media/a/backup", "/media/a/more", "/mnt/backup"}
        << QStringList{"/media/a/backup", "more", "/mnt/backup"};
}

void TestVolumes::userVolumes()
{
    QFETCH(QList<MountEntry>, table);
    QFETCH(QStringList, roots);
    QFETCH(QStringList, names);
    const QList<Volume> volumes = varnok::userVolumes(table);
    QCOMPARE(rootsOf(volumes), roots);
    QCOMPARE(namesOf(volumes), names);
    QCOMPARE(varnok::userVolumeRoots(table), roots);
}

void TestVolumes::volumeRootOf_data()
{
    QTest::addColumn<QStringList>("roots");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");

    const QStringList roots{"/", "/media/usb", "/media/usb/inner"};
    QTest::newRow("root itself") << roots << "/"
                                 << "/";
    QTest::newRow("plain folder") << roots << "/usr/share"
                                  << "/";
    QTest::newRow("volume itself") << roots << "/media/usb"
                                   << "/media/usb";
    QTest::newRow("inside volume") << roots << "/media/usb/docs"
                                   << "/media/usb";
    QTest::newRow("longest wins") << roots << "/media/usb/inner/x"
                                  << "/media/usb/inner";
    QTest::newRow("whole components only") << roots << "/media/usb2/x"
                                           << "/";
    QTest::newRow("unclean path") << roots << "/media/usb/../usb/./x/"
                                  << "/media/usb";
    QTest::newRow("on no volume") << QStringList{"/media/usb"} << "/home"
                                  << "";
    QTest::newRow("relative path") << roots << "media/usb"
                                   << "";
    // With no volume listed, the folder list chains a path from the root of its tree: a share
    // is a tree of its own (a clean path keeps its leading "//" only on Windows).
    QTest::newRow("a share's folder") << QStringList{} << "//server/share/dir"
                                      << "//server/share";
    QTest::newRow("a server alone") << QStringList{} << "//server"
                                    << "//server";
}

void TestVolumes::volumeRootOf()
{
    QFETCH(QStringList, roots);
    QFETCH(QString, path);
    QFETCH(QString, expected);
    if (roots.isEmpty())
        QCOMPARE(varnok::fileSystemRootOf(path), expected);
    else
        QCOMPARE(varnok::volumeRootOf(roots, path), expected);
}

void TestVolumes::watcherSeesMountsAndUnmounts()
{
    varnok::VolumeWatcher watcher;
    QVERIFY(watcher.isWatching());
    QSignalSpy changed(&watcher, &varnok::VolumeWatcher::changed);
#ifdef Q_OS_WIN
    // What the system sends every top-level window as a stick comes and goes, handed on as
    // Qt's Windows platform hands it; other device news is not a volume's.
    for (const WPARAM news : {DBT_DEVNODES_CHANGED, DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE}) {
        const int before = changed.count();
        MSG message = {nullptr, WM_DEVICECHANGE, news, 0, 0, {}};
        qintptr result = 0;
        QAbstractEventDispatcher::instance()->filterNativeEvent("windows_generic_MSG", &message,
                                                                &result);
        QCOMPARE(changed.count(), before + (news == DBT_DEVNODES_CHANGED ? 0 : 1));
    }
#else
    QTemporaryDir point;
    QVERIFY(point.isValid());
    const QByteArray where = QFile::encodeName(point.path());
    if (::mount("varnok-test", where.constData(), "tmpfs", 0, nullptr) != 0) {
        const int error = errno;
        if (error == EPERM || error == EACCES)
            QSKIP("mounting needs privileges this process lacks");
        QFAIL(qPrintable(QString::fromLocal8Bit(strerror(error))));
    }
    bool mounted = true;
    const auto unmount = qScopeGuard([&] {
        if (mounted)
            ::umount(where.constData());
    });
    QTRY_VERIFY(changed.count() >= 1);
    const int afterMount = changed.count();
    QCOMPARE(::umount(where.constData()), 0);
    mounted = false;
    QTRY_VERIFY(changed.count() > afterMount);
#endif
}

// A volume that does not answer holds up its own entry only: the others are listed at once, it is
// asked once however often the list is read, and it is listed, the watchers told, once it answers.
void TestVolumes::volumeThatDoesNotAnswerWaitsAlone()
{
    struct Gate
    {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
        int asked = 0;
    };
    auto gate = std::make_shared<Gate>();
    varnok::setVolumeProbe([gate](const QString &root) {
        std::unique_lock lock(gate->mutex);
        if (root == QLatin1String("/media/stuck")) {
            ++gate->asked;
            gate->opened.wait(lock, [&gate] { return gate->open; });
        }
        return true;
    });
    const auto restore = qScopeGuard([] { varnok::setVolumeProbe({}); });
    varnok::VolumeWatcher watcher;
    QSignalSpy changed(&watcher, &varnok::VolumeWatcher::changed);
    const QList<MountEntry> table{mount("/dev/sdb1", "/media/stuck", "vfat"),
                                  mount("/dev/sdc1", "/media/usb", "vfat")};
    const auto listed = [&table] {
        return rootsOf(varnok::userVolumes(varnok::answeringMounts(table)));
    };
    QCOMPARE(listed(), QStringList{"/media/usb"});
    QCOMPARE(listed(), QStringList{"/media/usb"});
    QTRY_VERIFY(changed.count() > 0); // the other one's answer
    changed.clear();
    {
        const std::lock_guard lock(gate->mutex);
        gate->open = true;
    }
    gate->opened.notify_all();
    QTRY_VERIFY(changed.count() > 0);
    QCOMPARE(listed(), (QStringList{"/media/stuck", "/media/usb"}));
    const std::lock_guard lock(gate->mutex);
    QCOMPARE(gate->asked, 1);
}

// "/" is a volume where the mount table lists it; in a plain chroot, as package builders use,
// it is no mount point and is not listed. Every volume is a listed mount point.
void TestVolumes::runningSystemListsWhatIsMounted()
{
#ifdef Q_OS_WIN
    QSKIP("Windows has drive letters, not a mount table (tst_picker lists them)");
#endif
    const QStringList listed = listedMountPoints();
    const QStringList roots = varnok::userVolumeRoots(varnok::systemMounts());
    QCOMPARE(roots.contains(QStringLiteral("/")), listed.contains(QStringLiteral("/")));
    for (const QString &root : roots) {
        QVERIFY2(listed.contains(root), qPrintable(root));
        QVERIFY2(!root.startsWith(QLatin1String("/proc")) &&
                     !root.startsWith(QLatin1String("/sys")),
                 qPrintable(root));
    }
}

QTEST_GUILESS_MAIN(TestVolumes)
#include "tst_volumes.moc"
