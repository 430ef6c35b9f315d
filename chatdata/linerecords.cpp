#include "chatdata/linerecords.h"

#include <QStringList>

#include <algorithm>
#include <vector>

namespace {

// Public hosts of the pictures the records point to; only the paths and
// queries below are LINE's and the map service's fixed formats.
const char kStickerServer[] = "dl.stickershop.line.naver.jp";
const char kMapServer[] = "maps.googleapis.com";

} // namespace

QString _LineUser::displayName() const
{
    if (!contactName.isEmpty())
        return contactName;
    if (!customName.isEmpty())
        return customName;
    if (!serverName.isEmpty())
        return serverName;
    return QStringLiteral("Unknown");
}

QString lineJoinDisplayNames(const QSet<_LineUser*>& users)
{
    std::vector<const _LineUser*> ordered;
    ordered.reserve(size_t(users.size()));
    for (const _LineUser* u : users) {
        if (u)
            ordered.push_back(u);
    }
    std::sort(ordered.begin(), ordered.end(), [](const _LineUser* a, const _LineUser* b) {
        if (a->id != b->id)
            return a->id < b->id;
        return a->uid < b->uid;
    });
    QStringList names;
    names.reserve(qsizetype(ordered.size()));
    for (const _LineUser* u : ordered)
        names.append(u->displayName());
    return names.join(QLatin1Char(','));
}

QString _LineGroupInfo::display(bool withMembers) const
{
    if (name.isEmpty())
        return lineJoinDisplayNames(members);
    if (!withMembers)
        return QStringLiteral("[GROUP] %1").arg(name);
    return QStringLiteral("[GROUP] %1: ").arg(name) + lineJoinDisplayNames(members);
}

QString _LineChat::display(bool withMembers) const
{
    if (type == LineChatType::GROUP && group)
        return group->display(withMembers);
    return lineJoinDisplayNames(users);
}

QString _LineStickerInfo::url() const
{
    return QStringLiteral("http://%1/products/0/0/%2/%3/android/stickers/%4.png")
        .arg(QLatin1String(kStickerServer))
        .arg(version)
        .arg(package)
        .arg(id);
}

QString _LineLocationInfo::url() const
{
    return QStringLiteral("http://%1/maps/api/staticmap?zoom=16&size=600x389&scale=<scale>&maptype=roadmap"
                          "&sensor=true&center=%2,%3")
        .arg(QLatin1String(kMapServer), QString::number(lat, 'f', 6), QString::number(lng, 'f', 6));
}
