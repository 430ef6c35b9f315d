#pragma once

#include <QHash>
#include <QList>
#include <QString>

#include <vector>

#include "foundation/safefile.h"

class LineData;
struct _LineChat;
struct _LineUser;

// Private helpers of IOSLineDb, shared by its source files.
namespace ioslinedb_p {

// The condition of ZCHAT that marks a disabled chat. Opening deletes such
// chats and the loader leaves them out by the very same test, so that both
// judge a flag that is no number (a text, a real) alike.
extern const char* const kChatDisabled;

// The messages a reader shows, as a condition on ZMESSAGE "m": before 2096,
// with an id, of a content type the reader knows. A macro, so that constant
// statements can take it in as they are written.
#define IOSLINEDB_SHOWN_MESSAGES                                                                                       \
    " m.ZTIMESTAMP < 4000000000000 and m.ZID <> '' and m.ZID is not null"                                              \
    " and m.ZCONTENTTYPE in (0, 107, 1, 2, 3, 7, 13, 14, 100, 112)"

using safefile::isPlainName;

// The name under which the LINE app files things for an id: the id itself
// when it is a plain name (every id the app makes), else its encoded form,
// which names nothing the app wrote but can never leave the folder.
QString pathName(const QString& id);

// LineData finds records in ordered maps; a page of messages looks its chat
// and sender up once per row, which made those look-ups a third of the time
// of reading a store. This keeps tables of the same records for the reader
// (indexed by id where the ids are dense, hashed otherwise), rebuilt before
// a page whenever the data's records version differs from the one they were
// built from (another data, or records added); an id not in them is asked
// of the data itself.
class RecordLookup
{
public:
    void sync(const LineData& data);
    _LineChat* chat(const LineData& data, qint64 id) const;
    _LineUser* user(const LineData& data, qint64 id) const;

private:
    quint64 m_version = 0;
    std::vector<_LineChat*> m_chats;
    std::vector<_LineUser*> m_users;
    QHash<qint64, _LineChat*> m_otherChats;
    QHash<qint64, _LineUser*> m_otherUsers;
};

// The contact of a message's metadata, the name's escaping (see
// IOSLineDb::contactInfoMetaData) undone, so that a restore writes back the
// name it read instead of escaping it once more.
LineContactInfo contactInfoOf(const QHash<QString, QString>& meta);

} // namespace ioslinedb_p
