#pragma once

#include "folderscan.h"

#include <QListView>

#include <optional>

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
    // Each set re-reads the folder. A folder that cannot be read gives an empty list. One on a
    // volume that does not answer at once (see answerWait) is listed when, and if, it answers;
    // meanwhile the list shows what it last read of that folder, if anything.
    void setFolder(const QString &folder);
    // "*.*" matches every name; letter case is ignored; "*.txt;*.doc" holds two patterns.
    void setPattern(const QString &pattern);
    // Re-reads the folder as it now is, keeping the selected entry (where it still exists) and
    // the scroll position; the user has chosen nothing new, so entrySelected() stays quiet.
    // The folder is read on a worker thread, so that a folder of a hundred thousand files does
    // not hold up the window; the list changes once the read is done (refreshed()), unless the
    // folder or pattern has been set meanwhile.
    void refresh();

    int count() const;
    // Selected position, -1 when nothing is selected.
    int selectedIndex() const;
    // The entry's name as the folder holds it (see decodeFileName); the list shows its readable
    // form.
    QString fileName(int index) const;
    // Selects the entry with exactly this name, for the program: entrySelected() stays quiet.
    // False when the list shows no such entry.
    bool selectFile(const QString &name);

signals:
    // The user selected an entry, by mouse or by keys.
    void entrySelected();
    // A refresh() has been applied.
    void refreshed();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void selectionChanged(const QItemSelection &selected,
                          const QItemSelection &deselected) override;

private:
    // Marks the span of one mouse or key event, so that selections made by the program (a
    // re-read clears the selection) are told apart from the user's.
    class UserInput final
    {
    public:
        explicit UserInput(FileList *list);
        ~UserInput();
        Q_DISABLE_COPY_MOVE(UserInput)

    private:
        FileList *m_list;
    };

    void reload();
    void showNames();
    void applyRefresh(const QString &folder, const Listing &files, int generation);
    // The row a key chooses while nothing is chosen, or -1 to leave the key to the view.
    int firstChoice(int key) const;

    class NameModel;
    NameModel *m_model;
    FolderReads m_reads;
    QString m_folder;
    QString m_pattern;
    // The last names read, and of which folder.
    QString m_listedFolder;
    Listing m_listed;
    // Counts the sets of folder and pattern: a refresh read before the latest one is stale.
    int m_generation = 0;
    QString m_refreshing; // the folder a refresh is reading, if any
    bool m_refreshAgain = false;
    int m_userInputDepth = 0;
    bool m_selectedByUser = false;
};

} // namespace varnok
