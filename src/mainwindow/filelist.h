#pragma once

#include <QListView>

namespace varnok {

// The file list (`filList`): names of the folder's regular, visible files that match the
// pattern; one entry selectable at a time.
class FileList : public QListView
{
    Q_OBJECT

public:
    explicit FileList(QWidget *parent = nullptr);

    QString folder() const;
    QString pattern() const;
    // Each set re-reads the folder. A folder that cannot be read gives an empty list.
    void setFolder(const QString &folder);
    // "*.*" matches every name; letter case is ignored; "*.txt;*.doc" holds two patterns.
    void setPattern(const QString &pattern);

    int count() const;
    // Selected position, -1 when nothing is selected.
    int selectedIndex() const;
    QString fileName(int index) const;

signals:
    // The user selected an entry, by mouse or by keys.
    void entrySelected();
};

} // namespace varnok
