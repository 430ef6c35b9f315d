-- Schema of a local database ("marrowquist-line.db").
-- Every statement may run again over a database that already holds some of
-- the tables: only what is missing is created. Columns added later
-- (line_user.custom_name) and the index on line_msg(ts) are added when the
-- database is opened.
CREATE TABLE IF NOT EXISTS line_chat(
  _id INTEGER PRIMARY KEY AUTOINCREMENT,
  uid VARCHAR,
  type VARCHAR
);
CREATE INDEX IF NOT EXISTS index_line_chat_uid ON line_chat(uid);

CREATE TABLE IF NOT EXISTS line_user(
  _id INTEGER PRIMARY KEY AUTOINCREMENT,
  uid VARCHAR,
  contact_name VARCHAR,
  server_name VARCHAR,
  create_ts LONG,
  pic_uri VARCHAR
);
CREATE INDEX IF NOT EXISTS index_line_user_uid ON line_user(uid);

CREATE TABLE IF NOT EXISTS line_group(
  _id INTEGER PRIMARY KEY AUTOINCREMENT,
  uid VARCHAR,
  creator_id INTEGER,
  name VARCHAR,
  pic_status VARCHAR,
  create_ts LONG
);
CREATE INDEX IF NOT EXISTS index_line_group_uid ON line_group(uid);
CREATE INDEX IF NOT EXISTS index_line_group_creator_id ON line_group(creator_id);

CREATE TABLE IF NOT EXISTS line_chat_users(
  chat_id INTEGER,
  user_id INTEGER,
  PRIMARY KEY(chat_id, user_id)
);

CREATE TABLE IF NOT EXISTS line_group_members(
  group_id INTEGER,
  user_id INTEGER,
  PRIMARY KEY(group_id, user_id)
);

CREATE TABLE IF NOT EXISTS line_msg(
  _id INTEGER PRIMARY KEY AUTOINCREMENT,
  uid VARCHAR,
  type VARCHAR,
  ts LONG,
  delivered_ts LONG,
  chat_id INTEGER,
  from_id INTEGER,
  content TEXT,
  atta BLOB,
  ver INTEGER
);
CREATE INDEX IF NOT EXISTS index_line_msg_chat_ts ON line_msg(chat_id, ts);
CREATE INDEX IF NOT EXISTS index_line_msg_uid ON line_msg(uid);
