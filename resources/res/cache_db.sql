-- The download date cache: the device modification time (whole seconds
-- since 1970-01-01 UTC) of every device file already downloaded, so that an
-- unchanged file is not fetched again.
CREATE TABLE IF NOT EXISTS manifest(
  file_name VARCHAR PRIMARY KEY,
  last_date INTEGER NOT NULL
);
