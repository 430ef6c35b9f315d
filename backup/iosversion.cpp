#include "backup/iosversion.h"

#include <QRegularExpression>
#include <QStringList>

_IOSVersion::_IOSVersion(const QString& text)
{
    static const QRegularExpression number(QStringLiteral("\\.?(\\d+)"));
    for (auto it = number.globalMatch(text); it.hasNext();)
        parts << it.next().captured(1).toInt();
}

int _IOSVersion::compare(const _IOSVersion& other) const
{
    const int n = int(qMin(parts.size(), other.parts.size()));
    for (int i = 0; i < n; ++i) {
        if (parts[i] != other.parts[i])
            return parts[i] - other.parts[i];
    }
    return int(parts.size() - other.parts.size());
}

QString _IOSVersion::toString() const
{
    QStringList texts;
    for (int p : parts)
        texts << QString::number(p);
    return texts.join(QLatin1Char('.'));
}
