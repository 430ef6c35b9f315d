#include "chatdata/linerawcontent.h"

#include <QRegularExpression>
#include <QRegularExpressionMatch>

#include <algorithm>
#include <iterator>

namespace {

// The vendor's web server, which hosts the emoji pictures of the bubble view.
const char kVendorServer[] = "line.marrowquist.com";

const QString& emojiMarker()
{
    static const QString marker = QStringLiteral("[EMOJI]");
    return marker;
}

// LINE's run end U+10FFFF in UTF-8.
const QByteArray& runEnd()
{
    static const QByteArray end("\xF4\x8F\xBF\xBF", 4);
    return end;
}

const QByteArray& replacementChar()
{
    static const QByteArray fffd("\xEF\xBF\xBD", 3);
    return fffd;
}

// Two four-byte characters of planes 16 (F4 80..8F ...) at byte i: the
// start of a LINE emoji run. Checked on whole bytes, so that the digits of
// neighbouring bytes can never pose as a start (text like "OHHHOHHH" is 4F
// 48 48 48 ... in hex, where a nibble-wise search would see "f48").
bool isRunStartAt(const QByteArray& raw, qsizetype i)
{
    if (i < 0 || raw.size() - i < 8)
        return false;
    const auto byte = [&](qsizetype k) { return static_cast<uchar>(raw.at(i + k)); };
    return byte(0) == 0xF4 && (byte(1) & 0xF0) == 0x80 && byte(4) == 0xF4 && (byte(5) & 0xF0) == 0x80;
}

qsizetype findRunStart(const QByteArray& raw, qsizetype from)
{
    for (qsizetype i = raw.indexOf('\xF4', from); i >= 0; i = raw.indexOf('\xF4', i + 1)) {
        if (isRunStartAt(raw, i))
            return i;
    }
    return -1;
}

// The index of the first unit at or after `from` that is `lowest` or
// above, or n. Blocks of eight are tested at once (a loop the compiler
// vectorises), since most text holds no unit that can start an emoji.
qsizetype skipUnitsBelow(const QChar* units, qsizetype from, qsizetype n, char16_t lowest)
{
    const char16_t* u = reinterpret_cast<const char16_t*>(units);
    qsizetype i = from;
    for (; n - i >= 8; i += 8) {
        char16_t highest = 0;
        for (int k = 0; k < 8; ++k)
            highest = std::max(highest, u[i + k]);
        if (highest >= lowest)
            break;
    }
    while (i < n && u[i] < lowest)
        ++i;
    return i;
}

// Replaces matches found by walking UTF-16 code units. Regular expressions
// see code points and cannot match a lone surrogate or a surrogate pair's
// halves, so the emoji classes, which are classes of code units, are
// matched by hand. No match starts with a unit below `lowest`;
// `match(units, left)` gives the length of a match that starts at
// units[0], or 0; `replace(units, length)` its replacement.
template <typename Match, typename Replace>
QString replaceCodeUnits(const QString& text, char16_t lowest, Match match, Replace replace)
{
    const QChar* units = text.constData();
    const qsizetype n = text.size();
    QString out;
    qsizetype copied = 0;
    for (qsizetype i = skipUnitsBelow(units, 0, n, lowest); i < n; i = skipUnitsBelow(units, i, n, lowest)) {
        const qsizetype len = match(units + i, n - i);
        if (len == 0) {
            ++i;
            continue;
        }
        if (copied == 0 && out.isEmpty())
            out.reserve(n + 16);
        out.append(units + copied, i - copied);
        out.append(replace(units + i, len));
        i += len;
        copied = i;
    }
    if (copied == 0)
        return text;
    out.append(units + copied, n - copied);
    return out;
}

// The symbols besides U+E000..U+E537 that LINE treats as emoji.
const char16_t kEmojiSymbols[] = {
    0x203C, 0x2049, 0x2139, 0x2194, 0x2195, 0x21A9, 0x21AA, 0x231A, 0x231B, 0x23EB, 0x23EC,
    0x23F0, 0x23F3, 0x24C2, 0x25AA, 0x25AB, 0x25FB, 0x25FC, 0x25FD, 0x25FE, 0x2611, 0x267B,
    0x2693, 0x26AA, 0x26AB, 0x26C5, 0x26D4, 0x2705, 0x2709, 0x270F, 0x2712, 0x2714, 0x2744,
    0x2747, 0x274E, 0x2795, 0x2796, 0x2797, 0x27B0, 0x2934, 0x2935, 0x2B1B, 0x2B1C, 0x3030,
};

bool isSingleUnitEmoji(char16_t u)
{
    // Most text is below the first symbol; this test runs on every unit.
    if (u < kEmojiSymbols[0])
        return false;
    if (u >= 0xE000)
        return u <= 0xE537;
    return u <= std::end(kEmojiSymbols)[-1]
        && std::binary_search(std::begin(kEmojiSymbols), std::end(kEmojiSymbols), u);
}

// Upper-case hexadecimal without leading zeros.
QString hexCode(uint code)
{
    char16_t digits[8];
    int n = 0;
    do {
        digits[7 - n++] = u"0123456789ABCDEF"[code & 0xF];
        code >>= 4;
    } while (code && n < 8);
    return QString(reinterpret_cast<const QChar*>(digits + 8 - n), n);
}

struct HandlerCall
{
    LineEmojiHandler handler;
    void* ctx;
};

// One unit from the single-unit emoji set.
QString empji_rep1(const HandlerCall& call, QChar unit)
{
    return call.handler(call.ctx, hexCode(unit.unicode()));
}

// A D83C/D83D unit with the unit after it, combined as a surrogate pair. A
// second unit that is no low surrogate goes through the same arithmetic, so
// its code is not a real character; the handler gets it all the same.
QString empji_rep2(const HandlerCall& call, QChar first, QChar second)
{
    const uint hi = (uint(first.unicode()) - 0xD800u) % 0x10000u;
    const uint lo = (uint(second.unicode()) - 0xDC00u) % 0x10000u;
    return call.handler(call.ctx, hexCode(((hi * 0x400u) | lo) + 0x10000u));
}

} // namespace

QString parseLineRawContent(const QByteArray& raw)
{
    // Both kinds of LINE emoji begin with a byte F4 (characters of planes 16
    // and up); most texts have none and only need decoding.
    if (!raw.contains('\xF4')) {
        const qsizetype nul = raw.indexOf('\0');
        return QString::fromUtf8(nul >= 0 ? raw.left(nul) : raw);
    }
    QByteArray bytes;
    qsizetype start = findRunStart(raw, 0);
    if (start < 0) {
        bytes = raw;
    } else {
        bytes.reserve(raw.size());
        qsizetype copied = 0;
        while (start >= 0) {
            // At least one byte between the run's second character and the
            // end character; the nearest end closes the run.
            const qsizetype end = raw.indexOf(runEnd(), start + 9);
            if (end < 0)
                break; // no later start can be closed either
            bytes.append(raw.constData() + copied, start - copied);
            bytes.append("[EMOJI]");
            copied = end + runEnd().size();
            start = findRunStart(raw, copied);
        }
        bytes.append(raw.constData() + copied, raw.size() - copied);
    }
    const qsizetype nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    const QString text = QString::fromUtf8(bytes);

    // A lone character of U+100000..U+103FFF is a LINE emoji outside a run.
    return replaceCodeUnits(
        text, 0xDBC0,
        [](const QChar* u, qsizetype left) -> qsizetype {
            return left >= 2 && u[0].unicode() >= 0xDBC0 && u[0].unicode() <= 0xDBCF ? 2 : 0;
        },
        [](const QChar*, qsizetype) { return emojiMarker(); });
}

bool isRawContentContainEmoji_efbfbd(const QByteArray& raw)
{
    return raw.contains(replacementChar()) && findRunStart(raw, 0) >= 0;
}

QByteArray fixRawContent_efbfbd(const QByteArray& raw)
{
    QByteArray fixed = raw;
    fixed.replace(replacementChar(), runEnd());
    return fixed;
}

QString emoji_replace(QString text, LineEmojiHandler handler, void* ctx)
{
    if (text.isEmpty() || !handler)
        return text;
    const HandlerCall call{handler, ctx};
    const QString first = replaceCodeUnits(
        text, kEmojiSymbols[0],
        [](const QChar* u, qsizetype) -> qsizetype { return isSingleUnitEmoji(u[0].unicode()) ? 1 : 0; },
        [&call](const QChar* u, qsizetype) { return empji_rep1(call, u[0]); });
    return replaceCodeUnits(
        first, 0xD83C,
        [](const QChar* u, qsizetype left) -> qsizetype {
            return left >= 2 && (u[0].unicode() == 0xD83C || u[0].unicode() == 0xD83D) ? 2 : 0;
        },
        [&call](const QChar* u, qsizetype) { return empji_rep2(call, u[0], u[1]); });
}

QString rx_replace(const QString& text, const QRegularExpression& rx, RxReplaceCallback callback, void* ctx)
{
    QString out;
    qsizetype pos = 0;
    while (pos <= text.size()) {
        const QRegularExpressionMatch m = rx.match(text, pos);
        if (!m.hasMatch())
            break;
        out.append(QStringView(text).mid(pos, m.capturedStart() - pos));
        out.append(callback(ctx, m));
        pos = m.capturedEnd();
        if (m.capturedLength() == 0) {
            // An expression that matches empty text would match here again
            // for ever; step over one unit as QString::replace does.
            if (pos < text.size())
                out.append(text.at(pos));
            ++pos;
        }
    }
    if (pos < text.size())
        out.append(QStringView(text).mid(pos));
    return out;
}

QString line_common_emoji_plain_replace_handler(void*, QString)
{
    return emojiMarker();
}

QString lineCommonEmojiHtmlHandler(void*, QString code)
{
    return QStringLiteral("<img src=\"http://%1/app_res/emoji/%2.png\" style=\"vertical-align:top;\" />")
        .arg(QLatin1String(kVendorServer), code);
}
