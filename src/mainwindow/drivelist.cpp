#include "drivelist.h"

#include "filename.h"
#include "volumes.h"

#include <QAbstractItemView>
#include <QDir>
#include <QSignalBlocker>
#include <QStyle>
#include <QTextDocument>

#include <algorithm>

namespace varnok {

namespace {

// A mount path is a name like any other: a tooltip would take what looks like markup for markup.
// Shown as the system writes paths ("C:\" on Windows).
QString rootTip(const QString &root)
{
    return Qt::convertFromPlainText(displayedFileName(QDir::toNativeSeparators(root)),
                                    Qt::WhiteSpaceNoWrap);
}

} // namespace

DriveList::DriveList(QWidget *parent)
    : QComboBox(parent)
{
    VolumeRegistry &registry = VolumeRegistry::instance();
    registry.loadSystemVolumes();
    fillFromRegistry();
    setDrive(QDir::currentPath());
    connect(&registry, &VolumeRegistry::rootsChanged, this, &DriveList::fillFromRegistry);
    // The closed box shows only the short name.
    connect(this, &QComboBox::currentIndexChanged, this, [this] { setToolTip(rootTip(drive())); });
    connect(this, &QComboBox::currentIndexChanged, this, &DriveList::changed);
}

QString DriveList::drive() const
{
    return currentData().toString();
}

void DriveList::setDrive(const QString &path)
{
    const int index = findData(VolumeRegistry::instance().rootOf(path));
    if (index >= 0)
        setCurrentIndex(index); // emits changed() only when the index really moves
}

void DriveList::setVolumeRoots(const QStringList &roots)
{
    VolumeRegistry::instance().setRoots(roots);
}

void DriveList::showPopup()
{
    // Cheap, and the list is then right even before a change of the mount table has been seen.
    VolumeRegistry::instance().refresh();
    QComboBox::showPopup();
}

void DriveList::fillFromRegistry()
{
    const VolumeRegistry &registry = VolumeRegistry::instance();
    const QString previous = drive();
    const QIcon diskIcon = style()->standardIcon(QStyle::SP_DriveHDIcon);
    const QIcon networkIcon = style()->standardIcon(QStyle::SP_DriveNetIcon);
    {
        // Refilling is not a change of drive; only a different final selection is one.
        const QSignalBlocker blocker(this);
        clear();
        for (const Volume &volume : registry.volumes()) {
            addItem(volume.network ? networkIcon : diskIcon, volume.name, volume.root);
            setItemData(count() - 1, rootTip(volume.root), Qt::ToolTipRole);
        }
        // The box is narrow; its list opens wide enough for the longest name.
        view()->setMinimumWidth(view()->sizeHintForColumn(0) + 2 * view()->frameWidth());
        // A volume that has gone hands over to the one its mount point lies on now.
        int kept = findData(previous);
        if (kept < 0)
            kept = findData(registry.rootOf(previous));
        setCurrentIndex(std::max(kept, 0));
        setToolTip(rootTip(drive()));
    }
    if (drive() != previous)
        emit changed();
}

} // namespace varnok
