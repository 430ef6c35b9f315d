#include "backup/stagedfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray native(const QString& path)
{
    return QFile::encodeName(path);
}

// 0 when nothing is at the path, else its kind (a link is not followed).
mode_t kindAt(const QString& path)
{
    struct stat st;
    return ::lstat(native(path).constData(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

std::runtime_error failure(const QString& what, const QString& path, int code)
{
    return std::runtime_error(
        QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(code))).toStdString());
}

} // namespace

StagedFiles::StagedFiles()
    : m_suffix(QString::number(QRandomGenerator::global()->generate64(), 36))
{
}

StagedFiles::~StagedFiles()
{
    if (!m_committed)
        discard();
}

void StagedFiles::discard()
{
    for (const Entry& e : m_entries)
        ::unlink(native(e.staged).constData());
    for (auto it = m_madeFolders.crbegin(); it != m_madeFolders.crend(); ++it)
        ::rmdir(native(*it).constData());
    m_entries.clear();
    m_index.clear();
    m_madeFolders.clear();
}

QString StagedFiles::stageThrow(const QString& target)
{
    const int known = m_index.value(target, -1);
    if (known >= 0) {
        ::unlink(native(m_entries[known].staged).constData());
        return m_entries[known].staged;
    }
    const QString folder = QFileInfo(target).absolutePath();
    if (!kindAt(folder)) {
        if (::mkdir(native(folder).constData(), 0755) != 0)
            throw failure(QStringLiteral("cannot make the folder"), folder, errno);
        m_madeFolders << folder;
    }
    m_index.insert(target, int(m_entries.size()));
    m_entries.append({target, target + QStringLiteral(".new-") + m_suffix, QString(), false});
    return m_entries.last().staged;
}

QString StagedFiles::staged(const QString& target) const
{
    const int known = m_index.value(target, -1);
    return known < 0 ? QString() : m_entries[known].staged;
}

void StagedFiles::commitThrow()
{
    qsizetype i = 0;
    int code = 0;
    for (; i < m_entries.size(); ++i) {
        Entry& e = m_entries[i];
        const mode_t kind = kindAt(e.target);
        if (kind == S_IFDIR) {
            code = EISDIR;
            break;
        }
        // The old content stays reachable until the commit has succeeded: a
        // second name where the file system has links, else a move.
        const QString aside = e.target + QStringLiteral(".old-") + m_suffix;
        if (kind && ::link(native(e.target).constData(), native(aside).constData()) != 0
            && ::rename(native(e.target).constData(), native(aside).constData()) != 0) {
            code = errno;
            break;
        }
        if (kind)
            e.aside = aside;
        if (::rename(native(e.staged).constData(), native(e.target).constData()) != 0) {
            code = errno;
            break;
        }
        e.placed = true;
    }
    if (i == m_entries.size()) {
        for (const Entry& e : m_entries)
            if (!e.aside.isEmpty())
                ::unlink(native(e.aside).constData());
        m_committed = true;
        return;
    }
    const QString failed = m_entries[i].target;
    for (; i >= 0; --i) {
        const Entry& e = m_entries[i];
        // An aside that is a second link to a target still in place is only
        // removed: renaming one link onto another of the same file does nothing.
        if (!e.aside.isEmpty() && !e.placed && kindAt(e.target))
            ::unlink(native(e.aside).constData());
        else if (!e.aside.isEmpty())
            ::rename(native(e.aside).constData(), native(e.target).constData());
        else if (e.placed)
            ::unlink(native(e.target).constData());
    }
    discard();
    throw failure(QStringLiteral("cannot put in place"), failed, code);
}
