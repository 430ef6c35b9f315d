#pragma once

// Statements of the restore writer that decide how much of the store one
// call reads; shared with the tests that check their query plans.
namespace ioslinedb_restore_p {

// The duplicate test: binds the message id (text), then the chat key.
extern const char* const kFindMsgSql;

// The newest message of one chat that the reader shows: binds the chat key.
extern const char* const kNewestMsgSql;

} // namespace ioslinedb_restore_p
