#pragma once

#include <QList>

#include "chatdata/abslinemsgssource.h"

// A source over an explicit list of messages (the rows a user selected),
// held by value. Built by appending, then only read.
class LineMsgsListSource : public AbsLineMsgsSource
{
public:
    LineMsgsListSource() = default;

    void append(const _LineMsg& msg) { msgs.append(msg); }

    qint64 size() const override;
    // An empty message outside 0 .. size() - 1.
    _LineMsg msg(qint64 i) const override;
    // One list source per chat, each keeping the list's order; messages
    // without a chat are in none of them.
    QHash<_LineChat*, PAbsLineMsgsSource> chatMsgs() const override;

    qint64 sizeThrow() const override;
    _LineMsg msgThrow(qint64 i) const override;

    QList<_LineMsg> msgs;
};
