#pragma once

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QString>

#include <functional>

// Replaces every match of rx in text by handler(match) and keeps the text in
// between. The handler reads the match (usually its first capture) and
// returns the replacement. An expression that matches empty text moves on by
// one character after such a match instead of looping.
template <typename Handler>
QString rx_replace(const QString& text, const QRegularExpression& rx, Handler handler)
{
    QString result;
    qsizetype pos = 0;
    QRegularExpressionMatchIterator it = rx.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        result += QStringView(text).mid(pos, match.capturedStart() - pos);
        result += handler(match);
        pos = match.capturedEnd();
    }
    result += QStringView(text).mid(pos);
    return result;
}

// Names made from ids and texts of chats, messages and backups, and a few
// folder operations. Nothing here throws.
namespace pathutil {

// Longest file or folder name, in bytes, that file systems take.
constexpr int kMaxNameBytes = 255;

// Any text as one safe file or folder name: every UTF-8 byte outside ASCII
// letters, digits and " `~!@#$^&()-=_+[]{};',." becomes %XX (upper-case hex); a
// reserved device name (CON, COM1, ...) is encoded whole. A name made only of
// dots, or empty, is encoded too (".." gives %2E%2E, "" gives %00), so the
// result never names the folder itself or its parent. A result longer than
// kMaxNameBytes is shortened by fitFileName.
QString encodeFileName(const QString& name);
// The same encoding without the bound on its length: for a part of a name
// that is put together with others and then shortened as a whole.
QString encodeFileNamePart(const QString& name);
// A name of at most kMaxNameBytes bytes: a longer one keeps its start and
// its short suffix around "%~" and the SHA-1 of the whole name, a form no
// encoding makes, so that it meets no other name and every side that puts
// the same long name together finds the same file. It cannot be decoded.
QString fitFileName(const QString& name);
// The longest start of name that, followed by suffix, still makes a name of
// at most kMaxNameBytes bytes, never ending inside a surrogate pair: the stem
// of a temporary name beside a file whose name is near the limit.
QString fitNameStart(const QString& name, const QString& suffix);
// Undoes encodeFileName: %XX of either case becomes the byte; the bytes are
// read as UTF-8 up to the first zero byte. A "%" without two hex digits stays.
QString decodeFileName(const QString& name);

// Encodes only % \ / : * ? " < > | line feed, carriage return and tab as %xx
// (lower-case hex); reserved names, dots-only and empty names as above.
QString encodeFileNameWin(const QString& name);
// Undoes encodeFileNameWin: %xx becomes the Latin-1 character, %00 nothing.
QString decodeFileNameWin(const QString& name);

QString encodeFileNameWinHandler(const QRegularExpressionMatch& match);
QString decodeFileNameWinHandler(const QRegularExpressionMatch& match);

// The same folder as g_osAppDir(), with an absolute path.
QDir sysDataDir();

// Opens the file, folder or link with the system opener (see g_openFileOrFolder).
void open(const QString& path);

// Deletes a folder tree exactly as g_delDirCascade does: hidden entries stay,
// links are removed as links and never entered.
void rmpath(const QString& path);

// True when path is folder itself or lies below it (compared at a separator,
// never as a plain text prefix). Links and ".." in the part of each path that
// exists are resolved first; a part that does not exist yet is taken as written.
bool isSameOrBelow(const QString& path, const QString& folder);

// Called with each file that cpr is about to copy (or keep).
using CopyObserver = std::function<void(const QFileInfo& file)>;

// Copies a file, or a folder tree, into target (created when missing). Files
// already present in the target are kept and count as copied; hidden entries
// and symbolic links are skipped; a missing source copies nothing. Stops at
// the first failed file copy and returns false with its error text in *error.
// Copying a folder into itself or below itself is refused.
bool cpr(const QFileInfo& source, const QDir& target, QString* error = nullptr, const CopyObserver& onFile = {});
bool cpr(const QString& source, const QDir& target, QString* error = nullptr, const CopyObserver& onFile = {});

} // namespace pathutil
