#pragma once

#include "folderscan.h"

#include <QHash>
#include <QListView>

#include <optional>

class QStandardItemModel;

namespace varnok {

// The folder list (`DirList`): the chain of parent folders down to the current folder, then its
// subfolders; a double-click opens one.
class FolderList : public QListView
{
    Q_OBJECT

public:
    explicit FolderList(QWidget *parent = nullptr);

    // Full path of the current folder.
    QString path() const;
    // Makes path the current folder. Returns false and keeps the current folder when it cannot
    // be read. Emits changed() before returning when the folder changed. A folder on a volume
    // that does not answer at once (see answerWait) is opened when, and if, it answers, unless
    // another folder is opened meanwhile; meanwhile the list stays as it is and this returns
    // true, and should the folder turn out unreadable, refused() follows.
    bool setPath(const QString &path);
    // Opens the folder last shown on the volume with this root during this run, else the root.
    // Same result and notifications as setPath(); also false when no listed volume is mounted
    // at that root any more.
    bool setDrive(const QString &volumeRoot);
    // Re-reads the current folder as it now is, keeping the highlighted row, then emits
    // reread(). The folder is read on a worker thread (a folder of a hundred thousand files
    // takes a while to list even for its few subfolders); a move meanwhile drops that read.
    void refresh();

signals:
    // The current folder changed, by the user or by the program.
    void changed();
    // The current folder was read again without moving: what is in it may have changed.
    void reread();
    // A folder that did not answer at once turned out unreadable; the list stayed where it was.
    void refused();

protected:
    // Enter opens the highlighted folder, as a double-click does (the current folder's own row
    // re-reads it); F5 re-reads the current folder.
    void keyPressEvent(QKeyEvent *event) override;

private:
    // The volume root the chain of parents starts at; the file system's root ("/", "C:/") for a
    // path on no listed volume.
    QString chainRoot(const QString &path) const;
    // Opens the first of candidates that can be read, as the move numbered move: a later move
    // drops what an earlier one is still waiting for.
    bool openFirst(int move, QStringList candidates);
    void showFolder(const QString &path, const QStringList &subfolders);
    void showRows(const QStringList &subfolders);
    void openRow(const QModelIndex &index);
    void applyRefresh(const QString &path, const Listing &subfolders);

    QStandardItemModel *m_model;
    FolderReads m_reads;
    QString m_path;
    int m_moves = 0;
    QString m_refreshing; // the folder a refresh is reading, if any
    bool m_refreshAgain = false;
    // Per volume root, the folder last shown on it: the "current folder" a volume opens on.
    QHash<QString, QString> m_lastShown;
};

} // namespace varnok
