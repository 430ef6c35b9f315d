// Raw message content comes straight out of a LINE store or a local
// database: any bytes at all.
#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdlib>

#include "chatdata/linerawcontent.h"

namespace {

QString countingHandler(void* ctx, QString code)
{
    ++*static_cast<int*>(ctx);
    // Codes are upper-case hexadecimal without leading zeros.
    if (code.isEmpty() || code.startsWith(QLatin1Char('0')) || code != code.toUpper())
        abort();
    return code;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray raw(reinterpret_cast<const char*>(data), qsizetype(size));

    const QString text = parseLineRawContent(raw);
    if (text.contains(QChar(0)))
        abort();
    if (!raw.contains('\xF4') && !raw.contains('\0') && text != QString::fromUtf8(raw))
        abort();

    const bool damaged = isRawContentContainEmoji_efbfbd(raw);
    const QByteArray fixed = fixRawContent_efbfbd(raw);
    // Each replacement character (3 bytes) becomes the run end (4 bytes).
    if (fixed.size() != raw.size() + raw.count(QByteArray("\xEF\xBF\xBD", 3)))
        abort();
    if (damaged && fixed.contains(QByteArray("\xEF\xBF\xBD", 3)))
        abort();

    int calls = 0;
    emoji_replace(text, countingHandler, &calls);
    // The bytes as UTF-16 code units: lone surrogates and all.
    const QString units(reinterpret_cast<const QChar*>(raw.constData()), raw.size() / 2);
    emoji_replace(units, countingHandler, &calls);
    return 0;
}
