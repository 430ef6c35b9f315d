#include "foundation/stylesheet.h"

#include <QFile>

namespace {
// Empty until the resource has been read once; a failed read leaves it empty
// so that the next call tries again.
QString& styleSheetCache()
{
    static QString g_styleSheet;
    return g_styleSheet;
}
} // namespace

QString getStyleSheet()
{
    QString& cache = styleSheetCache();
    if (!cache.isEmpty())
        return cache;
    QFile file(QStringLiteral(":/res/style.css"));
    if (file.open(QIODevice::ReadOnly)) {
        QByteArray bytes = file.readAll();
        const qsizetype nul = bytes.indexOf('\0');
        if (nul >= 0)
            bytes.truncate(nul);
        cache = QString::fromLatin1(bytes);
    }
    return cache;
}
