#pragma once

#include "chatdata/abslinemsgssource.h"
#include "chatdata/linedata.h"

// A source over one chat, or all chats when `chat` is null, of a loaded
// database, read through the data's page cache. It keeps the data (and so
// every chat, user and group of it) alive. Sources over the same data share
// its one cached page: read one chat to its end before the next.
class LineMsgsDataSource : public AbsLineMsgsSource
{
public:
    LineMsgsDataSource(const LineData& data, _LineChat* chat, bool asc);

    // The database's count; 0 when it fails or the data is null.
    qint64 size() const override;
    // LineData::msgAt: empty when out of range or the database fails.
    _LineMsg msg(qint64 i) const override;
    // A data source per chat of the data (or for `chat` alone), sharing the
    // data; reads no message.
    QHash<_LineChat*, PAbsLineMsgsSource> chatMsgs() const override;

    qint64 sizeThrow() const override;
    _LineMsg msgThrow(qint64 i) const override;

    const LineData data;
    _LineChat* const chat;
    const bool asc;
};
