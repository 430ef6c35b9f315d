#include "foundation/productinfo.h"

#include <QObject>

QString g_productTitle()
{
    return QObject::tr("Marrowquist Chatferry for Mac");
}

QString g_productVersionPair()
{
    return QStringLiteral("%1(%2)").arg(QLatin1String(kProductVersion)).arg(kProductBuild);
}
