#pragma once

#include <QComboBox>
#include <QStringList>

namespace varnok {

// The drive selector (`drvList`): one entry per mounted volume a user would recognise.
class DriveList : public QComboBox
{
    Q_OBJECT

public:
    explicit DriveList(QWidget *parent = nullptr);

    // Root path of the selected volume, e.g. "/" or "/media/usb".
    QString drive() const;
    // Selects the volume that path lies on. Emits changed() before returning when the selection
    // moves to another volume.
    void setDrive(const QString &path);
    // Replaces the listed volumes (the system's are read at construction); keeps the selection
    // on the same root where it can.
    void setVolumeRoots(const QStringList &roots);

signals:
    // The selected volume changed, by the user or by the program.
    void changed();

private:
    // Rebuilds the entries from the shared volume list.
    void fillFromRegistry();
};

} // namespace varnok
