// ZCONTENTMETADATA comes straight from a LINE store: any bytes must read as
// some dictionary of texts, never crash.
#include <QByteArray>
#include <QHash>
#include <QString>

#include <cstddef>
#include <cstdint>

#include "chatdata/ioslinedb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    const QHash<QString, QString> meta = IOSLineDb::readMetaData(bytes);
    // What the message reader does with the values.
    volatile int sum = meta.value(QStringLiteral("STKID")).toInt() + meta.value(QStringLiteral("STKVER")).toInt()
                       + int(meta.value(QStringLiteral("FILE_NAME")).size());
    (void)sum;
    return 0;
}
