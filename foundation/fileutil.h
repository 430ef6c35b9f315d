#pragma once

#include <QByteArray>
#include <QString>

// Deletes a folder with everything in it except hidden entries (names that
// begin with a dot), which stay, and so does the folder holding them; with
// `hiddenToo` those go as well. A symbolic link is removed as a link and never
// entered; a path that is itself a link to a folder loses only the link.
void g_delDirCascade(const QString& path, bool hiddenToo = false);

// Removes `path` when it is a symbolic link, whatever it leads to (or
// nothing), and tells whether it was one. A folder of the program's found as
// a link is cleared or deleted never through it: the link goes, what it leads
// to stays as it was.
bool g_removeLink(const QString& path);
// Removes `path` when it is a regular file; a link at that name (and what it
// leads to), a folder or anything else stays. 0, or the errno of the removal.
int g_removeRegularFile(const QString& path);

// The path itself when nothing is there, else the first free
// "<folder>/<base>(n).<suffix>", where base ends at the name's first dot and
// suffix starts after its last: a taken a.b.c gives a(1).c.
QString g_getValidFilePath(const QString& path);

// The program that opens files, folders and links: "open" on macOS,
// "xdg-open" elsewhere, or the program named by $CHATFERRY_OPENER (tests use
// it to record what would have been opened).
QString g_systemOpener();

// Hands the path or link to the system opener as its only argument, without a
// shell. Returns at once; the opener's result is not looked at.
void g_openFileOrFolder(const QString& path);
void g_openLink(const QString& url);

// The name without \ / : * ? " < > | line feed, carriage return and tab, and
// without white space at both ends.
QString g_formatFileName(const QString& name);

// MD5 of the UTF-8 text as 32 lower-case hex digits.
QString g_md5(const QString& text);
// MD5 of the bytes as lower-case hex; dashed groups it 8-4-4-4-12.
QString g_md5(const QByteArray& data, bool dashed);

// Escapes &, <, > and turns line feeds into <br/>. Quotes stay as they are.
QString htmlEncode(const QString& text);
