#include "folderlist.h"

#include "filename.h"
#include "folderscan.h"
#include "offthread.h"
#include "volumes.h"

#include <QDir>
#include <QKeyEvent>
#include <QStandardItemModel>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTextDocument>

#include <memory>
#include <utility>

namespace varnok {

namespace {

constexpr int DepthRole = Qt::UserRole + 1;
constexpr int PathRole = Qt::UserRole + 2;
constexpr int IndentPerLevel = 12;

// Shifts each row right by its depth, so the chain of parents reads as a staircase down to the
// current folder.
class IndentDelegate final : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        QStyleOptionViewItem shifted(option);
        shifted.rect.setLeft(option.rect.left() + indent(index));
        QStyledItemDelegate::paint(painter, shifted, index);
    }

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        return QStyledItemDelegate::sizeHint(option, index) + QSize(indent(index), 0);
    }

private:
    static int indent(const QModelIndex &index)
    {
        return index.data(DepthRole).toInt() * IndentPerLevel;
    }
};

// String work only: QFileInfo would turn a name that is not UTF-8 into another one.
QString absoluteClean(const QString &path)
{
    if (QDir::isAbsolutePath(path))
        return cleanVolumePath(path);
    return cleanVolumePath(QDir::currentPath() + QLatin1Char('/') + path);
}

// Paths are shown as the system writes them ("C:\Users" on Windows).
QString shownPath(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

QString joinPath(const QString &folder, const QString &name)
{
    if (folder.endsWith(QLatin1Char('/')))
        return folder + name;
    return folder + QLatin1Char('/') + name;
}

// The folders from root down to path, root first.
QStringList chainFrom(const QString &root, const QString &path)
{
    QStringList chain{root};
    const QString rest = path.mid(root.size());
    QString walked = root;
    for (const QString &part : rest.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        walked = joinPath(walked, part);
        chain << walked;
    }
    return chain;
}

QStandardItem *makeRow(const QIcon &icon, const QString &label, const QString &folder,
                       qsizetype depth)
{
    auto *item = new QStandardItem(icon, displayedFileName(label, NamePlace::OnItsOwn));
    item->setData(folder, PathRole);
    item->setData(static_cast<int>(depth), DepthRole);
    // A tooltip takes anything that looks like markup for markup.
    item->setToolTip(
        Qt::convertFromPlainText(displayedFileName(shownPath(folder)), Qt::WhiteSpaceNoWrap));
    return item;
}

} // namespace

FolderList::FolderList(QWidget *parent)
    : QListView(parent)
    , m_model(new QStandardItemModel(this))
    , m_reads(FolderReader::Kind::Subfolders, this)
{
    setModel(m_model);
    setItemDelegate(new IndentDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(this, &QAbstractItemView::doubleClicked, this, &FolderList::openRow);
    const QString start = absoluteClean(QDir::currentPath());
    const QString root = fileSystemRootOf(start);
    const int move = ++m_moves;
    // A start folder that does not answer at once: the root meanwhile, the start folder when it
    // answers, unless the user has moved on by then.
    if (openFirst(move, {start, root}) && m_path.isEmpty())
        openFirst(move, {root});
}

QString FolderList::path() const
{
    return m_path;
}

bool FolderList::setPath(const QString &path)
{
    if (path.isEmpty())
        return false;
    return openFirst(++m_moves, {path});
}

bool FolderList::setDrive(const QString &volumeRoot)
{
    if (volumeRoot.isEmpty())
        return false; // no volume selected at all
    const QString root = absoluteClean(volumeRoot);
    if (!VolumeRegistry::instance().isMounted(root))
        return false; // unmounted since it was listed: its mount point is a plain folder now
    const QString remembered = m_lastShown.value(root);
    // The remembered folder may have gone since; the volume's root is the next best place.
    return openFirst(++m_moves,
                     remembered.isEmpty() ? QStringList{root} : QStringList{remembered, root});
}

bool FolderList::openFirst(int move, QStringList candidates)
{
    while (!candidates.isEmpty()) {
        const QString target = absoluteClean(candidates.takeFirst());
        const auto answered = m_reads.read(
            target, answerWait, [this, move, target, candidates](const Listing &subfolders) {
                if (move != m_moves)
                    return; // the user has moved on meanwhile
                viewport()->unsetCursor();
                if (subfolders)
                    showFolder(target, *subfolders);
                else if (!openFirst(move, candidates))
                    emit refused();
            });
        if (!answered) {
            viewport()->setCursor(Qt::BusyCursor);
            return true;
        }
        if (*answered) {
            viewport()->unsetCursor();
            showFolder(target, **answered);
            return true;
        }
        // missing, not a folder, or not ours to list
    }
    return false;
}

void FolderList::showFolder(const QString &path, const QStringList &subfolders)
{
    const bool moved = path != m_path;
    m_path = path;
    m_lastShown.insert(chainRoot(path), path);
    showRows(subfolders);
    if (moved)
        emit changed();
    else
        emit reread();
}

void FolderList::refresh()
{
    if (m_refreshing == m_path) {
        m_refreshAgain = true; // the folder may have changed again since that read began
        return;
    }
    m_refreshing = m_path;
    m_refreshAgain = false;
    const auto apply = [this, path = m_path](const Listing &subfolders) {
        applyRefresh(path, subfolders);
    };
    if (const auto answered = m_reads.read(m_path, std::chrono::milliseconds::zero(), apply))
        apply(*answered);
}

void FolderList::applyRefresh(const QString &path, const Listing &subfolders)
{
    if (path != m_path)
        return; // moved on meanwhile; that move has read its own folder
    m_refreshing.clear();
    // Gone or unreadable now: the last listing stays until the user moves on.
    if (subfolders) {
        const QString highlighted = currentIndex().data(PathRole).toString();
        showRows(*subfolders);
        const QModelIndexList rows =
            m_model->match(m_model->index(0, 0), PathRole, highlighted, 1, Qt::MatchExactly);
        if (!rows.isEmpty())
            setCurrentIndex(rows.first());
    }
    if (std::exchange(m_refreshAgain, false))
        refresh();
    else
        emit reread();
}

QString FolderList::chainRoot(const QString &path) const
{
    const QString root = VolumeRegistry::instance().rootOf(path);
    return root.isEmpty() ? fileSystemRootOf(path) : root;
}

void FolderList::showRows(const QStringList &subfolders)
{
    const QIcon openIcon = QIcon::fromTheme(QStringLiteral("folder-open"),
                                            style()->standardIcon(QStyle::SP_DirOpenIcon));
    const QIcon closedIcon =
        QIcon::fromTheme(QStringLiteral("folder"), style()->standardIcon(QStyle::SP_DirClosedIcon));
    const QStringList chain = chainFrom(chainRoot(m_path), m_path);
    QList<QStandardItem *> rows;
    for (qsizetype depth = 0; depth < chain.size(); ++depth) {
        const QString &folder = chain.at(depth);
        const QString label = depth == 0 ? shownPath(folder) : lastPathPart(folder);
        rows << makeRow(openIcon, label, folder, depth);
    }
    for (const QString &name : subfolders)
        rows << makeRow(closedIcon, name, joinPath(m_path, name), chain.size());
    m_model->clear();
    m_model->invisibleRootItem()->appendRows(rows); // one insertion, however many subfolders
    setCurrentIndex(m_model->index(static_cast<int>(chain.size()) - 1, 0));
}

void FolderList::openRow(const QModelIndex &index)
{
    if (index.isValid())
        setPath(index.data(PathRole).toString());
}

void FolderList::keyPressEvent(QKeyEvent *event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && currentIndex().data(PathRole).toString() != m_path) {
        openRow(currentIndex());
        event->accept();
        return;
    }
    if (enter || event->key() == Qt::Key_F5) {
        refresh();
        event->accept();
        return;
    }
    QListView::keyPressEvent(event);
}

} // namespace varnok
