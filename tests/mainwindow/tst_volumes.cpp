#include "volumes.h"

#include <QTest>

using varnok::MountEntry;

namespace {

MountEntry mount(const char *device, const char *point, const char *type)
{
    return {QString::fromUtf8(point), QString::fromUtf8(type), QString::fromUtf8(device)};
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
    void userVolumeRoots_data();
    void userVolumeRoots();
    void volumeRootOf_data();
    void volumeRootOf();
    void runningSystemListsRoot();
};

void TestVolumes::userVolumeRoots_data()
{
    QTest::addColumn<QList<MountEntry>>("table");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("desktop") << desktopTable()
                             << QStringList{"/",
                                            "/data",
                                            "/home",
                                            "/home/alice/remote",
                                            "/media/alice/USB STICK",
                                            "/mnt/share",
                                            "/run/media/bob/CARD"};
    QTest::newRow("container") << containerTable() << QStringList{"/"};
    QTest::newRow("stacked and trailing slash")
        << QList<MountEntry>{mount("/dev/sda1", "/", "ext4"),
                             mount("/dev/sdb1", "/media/x", "vfat"),
                             mount("/dev/sdb1", "/media/x/", "vfat")}
        << QStringList{"/", "/media/x"};
    QTest::newRow("relative mount point")
        << QList<MountEntry>{mount("/dev/sda1", "media/x", "ext4")} << QStringList{};
}

void TestVolumes::userVolumeRoots()
{
    QFETCH(QList<MountEntry>, table);
    QFETCH(QStringList, expected);
    QCOMPARE(varnok::userVolumeRoots(table), expected);
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
}

void TestVolumes::volumeRootOf()
{
    QFETCH(QStringList, roots);
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(varnok::volumeRootOf(roots, path), expected);
}

void TestVolumes::runningSystemListsRoot()
{
    const QStringList roots = varnok::userVolumeRoots(varnok::systemMounts());
    QVERIFY(roots.contains(QStringLiteral("/")));
    for (const QString &root : roots) {
        QVERIFY2(!root.startsWith(QLatin1String("/proc")) &&
                     !root.startsWith(QLatin1String("/sys")),
                 qPrintable(root));
    }
}

QTEST_APPLESS_MAIN(TestVolumes)
#include "tst_volumes.moc"
