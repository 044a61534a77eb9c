#include "filelist.h"

#include "filename.h"
#include "filepattern.h"
#include "folderscan.h"
#include "offthread.h"

#include <QDir>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QStringListModel>

#include <memory>
#include <utility>

namespace varnok {

// Holds the exact names and shows their readable form, as text.
class FileList::NameModel final : public QStringListModel
{
public:
    using QStringListModel::QStringListModel;

    QVariant data(const QModelIndex &index, int role) const override
    {
        const QVariant name = QStringListModel::data(index, role);
        if (role != Qt::DisplayRole)
            return name;
        return displayedFileName(name.toString(), NamePlace::OnItsOwn);
    }
};

FileList::FileList(QWidget *parent)
    : QListView(parent)
    , m_model(new NameModel(this))
    , m_reads(FolderReader::Kind::Files, this)
    , m_folder(QDir::currentPath())
    , m_pattern(QStringLiteral("*.*"))
{
    setModel(m_model);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Equal rows let the view lay out a hundred thousand names without measuring each one.
    setUniformItemSizes(true);
    reload();
}

QString FileList::folder() const
{
    return m_folder;
}

QString FileList::pattern() const
{
    return m_pattern;
}

void FileList::setFolder(const QString &folder)
{
    m_folder = folder;
    reload();
}

void FileList::setPattern(const QString &pattern)
{
    m_pattern = pattern;
    reload();
}

void FileList::refresh()
{
    if (m_refreshing == m_folder) {
        m_refreshAgain = true; // the folder may have changed again since that read began
        return;
    }
    m_refreshing = m_folder;
    m_refreshAgain = false;
    const auto apply = [this, folder = m_folder, generation = m_generation](const Listing &files) {
        applyRefresh(folder, files, generation);
    };
    if (const auto answered = m_reads.read(m_folder, std::chrono::milliseconds::zero(), apply))
        apply(*answered);
}

void FileList::applyRefresh(const QString &folder, const Listing &files, int generation)
{
    if (folder != m_folder)
        return; // moved on meanwhile; that move has read its own folder
    m_refreshing.clear();
    m_listedFolder = folder;
    m_listed = files;
    if (generation == m_generation) {
        const int selected = selectedIndex();
        const QString kept = selected >= 0 ? fileName(selected) : QString();
        const int scrolled = verticalScrollBar()->value();
        showNames();
        const int row = kept.isEmpty() ? -1 : m_model->stringList().indexOf(kept);
        if (row >= 0)
            setCurrentIndex(m_model->index(row));
        verticalScrollBar()->setValue(scrolled);
    }
    if (std::exchange(m_refreshAgain, false))
        refresh();
    else
        emit refreshed();
}

int FileList::count() const
{
    return m_model->rowCount();
}

int FileList::selectedIndex() const
{
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

QString FileList::fileName(int index) const
{
    return m_model->index(index).data(Qt::EditRole).toString();
}

bool FileList::selectFile(const QString &name)
{
    const int row = int(m_model->stringList().indexOf(name));
    if (row < 0)
        return false;
    setCurrentIndex(m_model->index(row));
    return true;
}

void FileList::reload()
{
    ++m_generation;
    const QString folder = m_folder;
    const auto answered = m_reads.read(folder, answerWait, [this, folder](const Listing &files) {
        if (folder != m_folder)
            return;
        m_listedFolder = folder;
        m_listed = files;
        showNames();
    });
    if (answered) {
        m_listedFolder = folder;
        m_listed = *answered;
    }
    showNames();
}

void FileList::showNames()
{
    QStringList shown;
    if (m_listedFolder == m_folder && m_listed) {
        const FilePattern filter(m_pattern);
        if (filter.matchesEverything()) {
            shown = *m_listed;
        } else {
            // The pattern is matched against the names as the user reads them.
            for (const QString &name : *m_listed) {
                if (filter.matches(readableFileName(name)))
                    shown << name;
            }
        }
    }
    // One reset for the whole list: the view drops its selection and lays out once.
    m_model->setStringList(shown);
}

void FileList::mousePressEvent(QMouseEvent *event)
{
    const UserInput input(this);
    QListView::mousePressEvent(event);
    // A click on the entry that is already selected changes no selection but is still the user
    // choosing it.
    const QModelIndex pressed = indexAt(event->position().toPoint());
    if (!m_selectedByUser && pressed.isValid() && selectionModel()->isSelected(pressed))
        emit entrySelected();
}

void FileList::mouseMoveEvent(QMouseEvent *event)
{
    const UserInput input(this);
    QListView::mouseMoveEvent(event);
}

void FileList::keyPressEvent(QKeyEvent *event)
{
    const UserInput input(this);
    const int row = selectedIndex() < 0 ? firstChoice(event->key()) : -1;
    if (row < 0) {
        QListView::keyPressEvent(event);
        return;
    }
    setCurrentIndex(m_model->index(row)); // selects it, as a click would
    event->accept();
}

// The row the view marks when it takes the focus is not a choice: with nothing chosen, the list
// starts before its first entry. Left to the view, the first Down would skip the first entry,
// and in a one-entry list Down, Up and Home would choose nothing.
int FileList::firstChoice(int key) const
{
    if (count() == 0)
        return -1;
    switch (key) {
    case Qt::Key_Down:
    case Qt::Key_Up:
    case Qt::Key_Home:
    case Qt::Key_PageUp:
        return 0;
    case Qt::Key_End:
        return count() - 1;
    default:
        return -1;
    }
}

void FileList::selectionChanged(const QItemSelection &selected, const QItemSelection &deselected)
{
    QListView::selectionChanged(selected, deselected);
    if (m_userInputDepth > 0 && !selected.isEmpty()) {
        m_selectedByUser = true;
        emit entrySelected();
    }
}

FileList::UserInput::UserInput(FileList *list)
    : m_list(list)
{
    if (m_list->m_userInputDepth++ == 0)
        m_list->m_selectedByUser = false;
}

FileList::UserInput::~UserInput()
{
    --m_list->m_userInputDepth;
}

} // namespace varnok
