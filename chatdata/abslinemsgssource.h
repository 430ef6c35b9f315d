#pragma once

#include <QHash>
#include <QMetaType>
#include <QSharedPointer>

#include "chatdata/linemsg.h"

class AbsLineMsgsSource;
typedef QSharedPointer<AbsLineMsgsSource> PAbsLineMsgsSource;

// An indexed sequence of messages, the one way every consumer reads them.
// A source is used by one thread at a time and passed around as a
// PAbsLineMsgsSource.
//
// size() and msg() are tolerant, for views: a database that fails reads as
// missing or empty messages. Workers that store, export or restore what
// they read use sizeThrow() and msgThrow(), which throw std::runtime_error
// instead, so that a failure can never pass for a message.
class AbsLineMsgsSource
{
public:
    AbsLineMsgsSource() = default;
    virtual ~AbsLineMsgsSource();
    AbsLineMsgsSource(const AbsLineMsgsSource&) = delete;
    AbsLineMsgsSource& operator=(const AbsLineMsgsSource&) = delete;

    virtual qint64 size() const = 0;
    // A copy of message i (from 0); empty when it cannot be read.
    virtual _LineMsg msg(qint64 i) const = 0;
    // The same messages split into one source per chat.
    virtual QHash<_LineChat*, PAbsLineMsgsSource> chatMsgs() const = 0;

    virtual qint64 sizeThrow() const = 0;
    // Throws when message i cannot be read, also when i is out of range.
    virtual _LineMsg msgThrow(qint64 i) const = 0;
};

Q_DECLARE_METATYPE(PAbsLineMsgsSource)
