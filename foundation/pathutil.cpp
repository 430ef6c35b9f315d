#include "foundation/pathutil.h"

#include <QCryptographicHash>
#include <QFile>

#include "foundation/datadir.h"
#include "foundation/fileutil.h"

namespace {

bool isReservedName(const QString& name)
{
    // anchoredPattern: "$" alone would also accept "CON\n".
    static const QRegularExpression rx(
        QRegularExpression::anchoredPattern(QStringLiteral(
            "(?:CON)|(?:PRN)|(?:AUX)|(?:CLOCK\\$)|(?:NUL)|(?:COM1)|(?:COM2)|(?:COM3)|(?:COM4)"
            "|(?:COM5)|(?:COM6)|(?:COM7)|(?:COM8)|(?:COM9)|(?:LPT1)")),
        QRegularExpression::CaseInsensitiveOption);
    return rx.match(name).hasMatch();
}

bool isDotsOnly(const QString& name)
{
    for (const QChar c : name) {
        if (c != '.')
            return false;
    }
    return true;
}

QString percentEncodeAll(const QByteArray& bytes, bool upperCase)
{
    QString result;
    result.reserve(bytes.size() * 3);
    for (const char b : bytes) {
        const QByteArray hex = QByteArray(1, b).toHex();
        result += '%' + QString::fromLatin1(upperCase ? hex.toUpper() : hex);
    }
    return result;
}

// "", ".", ".." and other dots-only names would name the folder itself or a
// parent when used as a path component; they get encoded in full, and an empty
// name becomes the escaped zero byte, which both decoders turn back into "".
bool encodeBareName(const QString& name, bool upperCase, QString* out)
{
    if (name.isEmpty())
        *out = QStringLiteral("%00");
    else if (isDotsOnly(name))
        *out = percentEncodeAll(name.toLatin1(), upperCase);
    else
        return false;
    return true;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

namespace pathutil {

QString encodeFileName(const QString& name)
{
    return fitFileName(encodeFileNamePart(name));
}

QString fitFileName(const QString& name)
{
    const QByteArray utf8 = name.toUtf8();
    if (utf8.size() <= kMaxNameBytes)
        return name;
    const QString hash =
        QStringLiteral("%~") + QString::fromLatin1(QCryptographicHash::hash(utf8, QCryptographicHash::Sha1).toHex());
    // The suffix tells the file's kind to whatever opens it.
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString suffix = dot > 0 && name.size() - dot <= 16 ? name.mid(dot) : QString();
    const qsizetype room = kMaxNameBytes - hash.size() - suffix.toUtf8().size();
    QString head = name.left(room);
    while (head.toUtf8().size() > room)
        head.chop(1);
    // No escape cut in half: "%4" alone would read as another name's byte.
    const qsizetype percent = head.lastIndexOf(QLatin1Char('%'));
    if (percent >= 0 && percent >= head.size() - 2)
        head.truncate(percent);
    if (head.size() && head.back().isHighSurrogate())
        head.chop(1);
    return head + hash + suffix;
}

QString fitNameStart(const QString& name, const QString& suffix)
{
    const qsizetype room = kMaxNameBytes - suffix.toUtf8().size();
    // Every UTF-16 unit takes at least one byte, so a longer start never fits.
    QString head = name.left(qMax<qsizetype>(room, 0));
    while (!head.isEmpty() && head.toUtf8().size() > room)
        head.chop(1);
    if (!head.isEmpty() && head.back().isHighSurrogate())
        head.chop(1);
    return head;
}

QString encodeFileNamePart(const QString& name)
{
    QString bare;
    if (encodeBareName(name, true, &bare))
        return bare;
    const QByteArray utf8 = name.toUtf8();
    if (isReservedName(name))
        return QString::fromLatin1(utf8.toPercentEncoding(QByteArray(), "cCoOnNpPrRaAuUxXlLkKmMtT123456789$"));
    return QString::fromLatin1(utf8.toPercentEncoding(" `~!@#$^&()-=_+[]{};',."));
}

QString decodeFileName(const QString& name)
{
    const QByteArray in = name.toUtf8();
    QByteArray out;
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == '%' && i + 2 < in.size() && hexDigit(in[i + 1]) >= 0 && hexDigit(in[i + 2]) >= 0) {
            out += char(hexDigit(in[i + 1]) << 4 | hexDigit(in[i + 2]));
            i += 2;
        } else {
            out += in[i];
        }
    }
    const qsizetype nul = out.indexOf('\0');
    if (nul >= 0)
        out.truncate(nul);
    return QString::fromUtf8(out);
}

QString encodeFileNameWin(const QString& name)
{
    QString bare;
    if (encodeBareName(name, false, &bare))
        return bare;
    if (isReservedName(name))
        return percentEncodeAll(name.toUtf8(), false);
    static const QRegularExpression rx(QStringLiteral("([%\\\\/:*?\"<>|\\n\\r\\t])"));
    return rx_replace(name, rx, encodeFileNameWinHandler);
}

QString decodeFileNameWin(const QString& name)
{
    static const QRegularExpression rx(QStringLiteral("%([0-9a-fA-F]{2})"));
    return rx_replace(name, rx, decodeFileNameWinHandler);
}

QString encodeFileNameWinHandler(const QRegularExpressionMatch& match)
{
    return percentEncodeAll(match.captured(1).toLatin1(), false);
}

QString decodeFileNameWinHandler(const QRegularExpressionMatch& match)
{
    const int code = match.captured(1).toInt(nullptr, 16);
    return code == 0 ? QString() : QString(QChar(code));
}

QDir sysDataDir()
{
    return QDir(g_osAppDir().absolutePath());
}

void open(const QString& path)
{
    g_openFileOrFolder(path);
}

void rmpath(const QString& path)
{
    g_delDirCascade(path);
}

namespace {

// The absolute path with its longest existing head resolved to its real path.
QString resolvedHead(const QString& path)
{
    const QString clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QString head = clean;
    QString rest;
    while (!head.isEmpty()) {
        const QString real = QFileInfo(head).canonicalFilePath();
        if (!real.isEmpty())
            return real == QLatin1String("/") && !rest.isEmpty() ? rest : real + rest;
        const qsizetype slash = head.lastIndexOf(QLatin1Char('/'));
        if (slash < 0)
            break;
        rest.prepend(head.mid(slash));
        head.truncate(slash);
    }
    return clean;
}

bool copyInto(const QFileInfo& source, const QDir& target, QString* error, const CopyObserver& onFile)
{
    QDir().mkpath(target.absolutePath());
    // Links are skipped: copying through them could pull in anything outside
    // the tree, and a link to a parent would never end.
    if (source.isSymLink())
        return true;
    if (source.isFile()) {
        if (onFile)
            onFile(source);
        const QFileInfo dest(target.absoluteFilePath(source.fileName()));
        if (dest.exists() || dest.isSymLink())
            return true;
        QFile file(source.absoluteFilePath());
        if (file.copy(dest.absoluteFilePath()))
            return true;
        if (error)
            *error = file.errorString();
        return false;
    }
    if (source.isDir()) {
        const QDir into(target.absoluteFilePath(source.fileName()));
        const QFileInfoList entries = QDir(source.absoluteFilePath())
            .entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted);
        for (const QFileInfo& entry : entries) {
            if (!copyInto(entry, into, error, onFile))
                return false;
        }
    }
    return true;
}

} // namespace

bool isSameOrBelow(const QString& path, const QString& folder)
{
    const QString p = resolvedHead(path);
    QString f = resolvedHead(folder);
    if (p == f)
        return true;
    if (!f.endsWith(QLatin1Char('/')))
        f += QLatin1Char('/');
    return p.startsWith(f);
}

bool cpr(const QFileInfo& source, const QDir& target, QString* error, const CopyObserver& onFile)
{
    QDir().mkpath(target.absolutePath());
    if (source.isDir() && !source.isSymLink() && isSameOrBelow(target.absolutePath(), source.absoluteFilePath())) {
        if (error)
            *error = QStringLiteral("cannot copy a folder into itself: %1").arg(source.absoluteFilePath());
        return false;
    }
    return copyInto(source, target, error, onFile);
}

bool cpr(const QString& source, const QDir& target, QString* error, const CopyObserver& onFile)
{
    return cpr(QFileInfo(source), target, error, onFile);
}

} // namespace pathutil
