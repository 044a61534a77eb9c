#pragma once

#include <QComboBox>
#include <QStringList>

namespace varnok {

// The drive selector (`drvList`): one entry per mounted volume a user would recognise (per drive
// letter on Windows), under a short name, with its mount path as the tooltip. The list follows the
// system's volumes as they come and go.
class DriveList : public QComboBox
{
    Q_OBJECT

public:
    explicit DriveList(QWidget *parent = nullptr);

    // Root path of the selected volume, e.g. "/", "/media/usb" or "C:/".
    QString drive() const;
    // Selects the volume that path lies on. Emits changed() before returning when the selection
    // moves to another volume.
    void setDrive(const QString &path);
    // Lists the volumes at these roots from now on instead of the system's; keeps the selection
    // on the same root where it can.
    void setVolumeRoots(const QStringList &roots);
    // Reads the volumes afresh before the list opens.
    void showPopup() override;

signals:
    // The selected volume changed, by the user or by the program.
    void changed();

private:
    // Rebuilds the entries from the shared volume list.
    void fillFromRegistry();
};

} // namespace varnok
