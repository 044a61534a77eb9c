#include "drivelist.h"

#include "volumes.h"

#include <QAbstractItemView>
#include <QDir>
#include <QSignalBlocker>
#include <QStyle>

namespace varnok {

DriveList::DriveList(QWidget *parent)
    : QComboBox(parent)
{
    VolumeRegistry &registry = VolumeRegistry::instance();
    registry.loadSystemVolumes();
    fillFromRegistry();
    setDrive(QDir::currentPath());
    connect(&registry, &VolumeRegistry::rootsChanged, this, &DriveList::fillFromRegistry);
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
        for (const QString &root : registry.roots()) {
            addItem(registry.isNetwork(root) ? networkIcon : diskIcon, root, root);
            setItemData(count() - 1, root, Qt::ToolTipRole);
        }
        // The box is narrow; its list opens wide enough for the longest mount path.
        view()->setMinimumWidth(view()->sizeHintForColumn(0) + 2 * view()->frameWidth());
        const int kept = findData(previous);
        setCurrentIndex(kept >= 0 ? kept : 0);
    }
    if (drive() != previous)
        emit changed();
}

} // namespace varnok
