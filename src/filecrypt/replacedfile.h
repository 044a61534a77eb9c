#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <optional>
#include <utility>
#include <vector>

#include <sys/stat.h>

namespace varnok {

// The file a run replaces, and what protected it: owner, group, permission bits, access list
// and extended attributes. Read before the user is asked, so that the question can say what
// the new file cannot keep; given to the new file before it takes the name.
class ReplacedFile final
{
    Q_DECLARE_TR_FUNCTIONS(ReplacedFile)

public:
    // info: the file `name` in folder, found there without following a link.
    ReplacedFile(int folder, const QByteArray &name, const struct stat &info);

    const struct stat &info() const { return m_info; }

    // A sentence for the replace question naming what the new file cannot keep; empty when it
    // keeps everything.
    QString caveat() const;

    // Gives the file fd (the new version, owned by this process) what the old one had, as far
    // as the caveat promised. The reason of a failure, or nothing.
    [[nodiscard]] std::optional<QString> carryOverTo(int fd) const;

private:
    bool carryOverOwner(int fd, const struct stat &now) const;
    bool ownerKept() const;
    bool groupKept() const;

    struct stat m_info;
    gid_t m_newGroup; // the group a new file in the folder gets
    std::vector<std::pair<QByteArray, QByteArray>> m_attributes; // name, value
    bool m_attributesUnreadable = false;
};

} // namespace varnok
