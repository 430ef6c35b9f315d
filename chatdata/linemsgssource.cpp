#include "chatdata/abslinemsgssource.h"
#include "chatdata/linemsgsdatasource.h"
#include "chatdata/linemsgslistsource.h"

#include <stdexcept>

AbsLineMsgsSource::~AbsLineMsgsSource() = default;

qint64 LineMsgsListSource::size() const
{
    return msgs.size();
}

_LineMsg LineMsgsListSource::msg(qint64 i) const
{
    return i >= 0 && i < msgs.size() ? msgs.at(qsizetype(i)) : _LineMsg();
}

qint64 LineMsgsListSource::sizeThrow() const
{
    return size();
}

_LineMsg LineMsgsListSource::msgThrow(qint64 i) const
{
    if (i < 0 || i >= msgs.size())
        throw std::runtime_error(
            QStringLiteral("there is no message %1 among %2 listed messages").arg(i).arg(msgs.size()).toStdString());
    return msgs.at(qsizetype(i));
}

QHash<_LineChat*, PAbsLineMsgsSource> LineMsgsListSource::chatMsgs() const
{
    QHash<_LineChat*, QSharedPointer<LineMsgsListSource>> byChat;
    for (const _LineMsg& m : msgs) {
        if (!m.chat)
            continue;
        QSharedPointer<LineMsgsListSource>& source = byChat[m.chat];
        if (!source)
            source = QSharedPointer<LineMsgsListSource>::create();
        source->append(m);
    }
    QHash<_LineChat*, PAbsLineMsgsSource> result;
    result.reserve(byChat.size());
    for (auto it = byChat.constBegin(); it != byChat.constEnd(); ++it)
        result.insert(it.key(), it.value());
    return result;
}

LineMsgsDataSource::LineMsgsDataSource(const LineData& data, _LineChat* chat, bool asc)
    : data(data), chat(chat), asc(asc)
{
}

qint64 LineMsgsDataSource::size() const
{
    return data.msgsCount(chat);
}

_LineMsg LineMsgsDataSource::msg(qint64 i) const
{
    return data.msgAt(chat, i, asc);
}

qint64 LineMsgsDataSource::sizeThrow() const
{
    return data.msgsCountThrow(chat);
}

_LineMsg LineMsgsDataSource::msgThrow(qint64 i) const
{
    return data.msgAtThrow(chat, i, asc);
}

QHash<_LineChat*, PAbsLineMsgsSource> LineMsgsDataSource::chatMsgs() const
{
    QHash<_LineChat*, PAbsLineMsgsSource> result;
    if (chat) {
        result.insert(chat, PAbsLineMsgsSource(new LineMsgsDataSource(data, chat, asc)));
        return result;
    }
    for (_LineChat* c : data.chats())
        result.insert(c, PAbsLineMsgsSource(new LineMsgsDataSource(data, c, asc)));
    return result;
}
