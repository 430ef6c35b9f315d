#pragma once

// Statements of the restore writer that decide how much of the store one
// call reads; shared with the tests that check their query plans.
namespace ioslinedb_restore_p {

// The duplicate test: binds the message id (text), then the chat key.
extern const char* const kFindMsgSql;

// The newest message of one chat that the reader shows: binds the chat key.
extern const char* const kNewestMsgSql;

// Indexes the writer adds for those two, inside the caller's transaction,
// and drops again when it finishes the store: Core Data indexes messages by
// chat alone, which leaves both reading every message of a chat per call.
extern const char* const kMessageIdIndex;
extern const char* const kMessageIdIndexSql;
extern const char* const kChatTimeIndex;
extern const char* const kChatTimeIndexSql;

} // namespace ioslinedb_restore_p
