// The running system's volumes on Windows: its drive letters.
#include "errormode_win.h"
#include "volumes.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QSet>
#include <QStorageInfo>

#include <mutex>
#include <thread>
#include <vector>

#include <windows.h>

#include <dbt.h> // needs windows.h first

namespace varnok {

namespace {

struct DriveLetter
{
    QString root; // "C:/"
    UINT type = DRIVE_UNKNOWN;
};

// Letters and kinds come from the system's own tables and never touch the media.
QList<DriveLetter> driveLetters()
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD needed =
            GetLogicalDriveStringsW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (needed == 0)
            return {};
        if (needed < buffer.size())
            break;
        buffer.resize(needed + 1);
    }
    QList<DriveLetter> letters;
    for (const wchar_t *next = buffer.data(); *next != L'\0'; next += wcslen(next) + 1) {
        // Every letter, as Windows lists them; one that cannot be read is put back when picked.
        letters.append(
            {QDir::fromNativeSeparators(QString::fromWCharArray(next)), GetDriveTypeW(next)});
    }
    return letters;
}

// Empty where the volume has no label, or cannot say: an empty card reader, a share that does
// not answer. Can take long (a disc spinning up, a network timeout): never on the GUI thread.
QString readVolumeLabel(const QString &root)
{
    const QuietDriveErrors quiet;
    const std::wstring native = QDir::toNativeSeparators(root).toStdWString();
    wchar_t label[MAX_PATH + 1] = {};
    if (!GetVolumeInformationW(native.c_str(), label, MAX_PATH + 1, nullptr, nullptr, nullptr,
                               nullptr, 0))
        return {};
    return QString::fromWCharArray(label);
}

// The labels read so far, and the roots whose labels are being read: one worker thread per
// drive, so that a share that does not answer holds up its own label only. Left alive at exit:
// a worker stuck on such a share must find it there whenever it returns.
struct LabelCache
{
    std::mutex mutex;
    QHash<QString, QString> labels; // by root
    QSet<QString> reading;
    QSet<QString> again; // asked for again while being read
};

LabelCache &labelCache()
{
    static auto *cache = new LabelCache;
    return *cache;
}

void readLabel(const QString &root)
{
    LabelCache &cache = labelCache();
    for (;;) {
        const QString label = readVolumeLabel(root);
        const std::lock_guard lock(cache.mutex);
        if (label != cache.labels.value(root)) {
            cache.labels.insert(root, label);
            VolumeWatcher::tellAll();
        }
        if (!cache.again.remove(root)) {
            cache.reading.remove(root);
            return;
        }
    }
}

// Reads the labels of roots in the background; the watchers hear when one differs from the one
// known.
void requestLabels(const QStringList &roots)
{
    LabelCache &cache = labelCache();
    const std::lock_guard lock(cache.mutex);
    for (const QString &root : roots) {
        if (cache.reading.contains(root)) {
            cache.again.insert(root);
            continue;
        }
        cache.reading.insert(root);
        std::thread(readLabel, root).detach();
    }
}

QString knownLabel(const QString &root)
{
    LabelCache &cache = labelCache();
    const std::lock_guard lock(cache.mutex);
    return cache.labels.value(root);
}

// "c:", or "c: [System]" for a labelled volume.
QString driveName(const QString &root, const QString &label)
{
    const QString letter = root.left(2).toLower();
    return label.isEmpty() ? letter : QStringLiteral("%1 [%2]").arg(letter, label);
}

// Drives come and go with WM_DEVICECHANGE, which the system sends to every top-level window.
class DeviceChangeFilter final : public QAbstractNativeEventFilter
{
public:
    explicit DeviceChangeFilter(VolumeWatcher *watcher)
        : m_watcher(watcher)
    {}

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) override
    {
        if (eventType != "windows_generic_MSG")
            return false;
        const MSG *msg = static_cast<const MSG *>(message);
        if (msg->message == WM_DEVICECHANGE &&
            (msg->wParam == DBT_DEVICEARRIVAL || msg->wParam == DBT_DEVICEREMOVECOMPLETE))
            emit m_watcher->changed();
        return false; // others may want it too
    }

private:
    VolumeWatcher *m_watcher;
};

} // namespace

QList<MountEntry> systemMounts()
{
    QList<MountEntry> entries;
    const QList<QStorageInfo> volumes = QStorageInfo::mountedVolumes();
    for (const QStorageInfo &volume : volumes) {
        entries.append({volume.rootPath(), QString::fromLocal8Bit(volume.fileSystemType()),
                        QString::fromLocal8Bit(volume.device()), volume.name()});
    }
    return entries;
}

// Drive letters are listed without asking their media (see systemVolumes()); a letter that
// cannot be read is put back when picked.
bool probeVolume(const QString &)
{
    return true;
}

QList<Volume> systemVolumes()
{
    QList<Volume> volumes;
    QStringList roots;
    for (const DriveLetter &drive : driveLetters()) {
        volumes.append({drive.root, driveName(drive.root, knownLabel(drive.root)),
                        drive.type == DRIVE_REMOTE});
        roots << drive.root;
    }
    requestLabels(roots);
    if (volumes.isEmpty()) // a picker without any volume would be a dead end
        volumes = volumesAt({QDir::rootPath()});
    return volumes;
}

struct VolumeWatcher::Private
{
    std::unique_ptr<DeviceChangeFilter> filter;
};

VolumeWatcher::VolumeWatcher(QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Private>())
{
    listenToAll();
    if (QCoreApplication *app = QCoreApplication::instance()) {
        d->filter = std::make_unique<DeviceChangeFilter>(this);
        app->installNativeEventFilter(d->filter.get());
    }
}

VolumeWatcher::~VolumeWatcher()
{
    stopListening();
}

bool VolumeWatcher::isWatching() const
{
    return d->filter != nullptr;
}

} // namespace varnok
