#!/usr/bin/env bash
# Breaks the product on purpose, one place at a time, and tells whether the
# tests notice: the measure of what the suite finds, kept while tests are
# rewritten or trimmed.
#
#   scripts/mutants.sh                     every mutation; prints caught/missed per row
#   scripts/mutants.sh --only ID[,ID...]   those rows only
#   scripts/mutants.sh --write FILE        also records the results in FILE (rows not run keep theirs)
#   scripts/mutants.sh --check FILE        fails when a row FILE records as caught is missed now
#
# The working tree is never changed: the sources (tracked and new files, as
# they are now) are copied into build-mutants/src and built in
# build-mutants/build, where each mutation is applied, built, tested with the
# row's test programs (stopping at the first failing test) and undone. A row
# whose text is no longer in its file (the code has changed) is reported as
# "stale", not as missed: update the row. A test program that hangs past the
# time limit or crashes counts as catching the mutation.
# CHATFERRY_JOBS sets the build's parallel jobs (default 4).
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
exec python3 - "$0" "$caller" "$@" <<'PY'
import os, re, subprocess, sys, time

script, caller, args = sys.argv[1], sys.argv[2], sys.argv[3:]
root = os.getcwd()
work = os.path.join(root, 'build-mutants')
src, bld = os.path.join(work, 'src'), os.path.join(work, 'build')
jobs = os.environ.get('CHATFERRY_JOBS', '4')
time_limit = 600


def usage():
    sys.exit('usage: scripts/mutants.sh [--only ID[,ID...]] [--write FILE] [--check FILE]')


only, write_to, check_with = None, None, None
while args:
    opt = args.pop(0)
    if opt in ('--only', '--write', '--check') and args:
        value = args.pop(0)
        if opt == '--only':
            only = set(value.split(','))
        elif opt == '--write':
            write_to = os.path.join(caller, value)
        else:
            check_with = os.path.join(caller, value)
    else:
        usage()


def read_rows():
    """Rows of the table after the MUTATIONS line of this script: a line
    "row ID FILE PROGRAM[,PROGRAM]", then the text to find as "-" lines and
    its replacement as "+" lines (none: the text is deleted)."""
    lines = open(script, encoding='utf-8').read().split('\n')
    rows = []
    for line in lines[lines.index('MUTATIONS') + 1:]:
        if line.startswith('row '):
            _, ident, path, programs = line.split()
            rows.append({'id': ident, 'file': path, 'programs': programs.split(','), 'find': [], 'put': []})
        elif line.startswith('-') and rows:
            rows[-1]['find'].append(line[1:])
        elif line.startswith('+') and rows:
            rows[-1]['put'].append(line[1:])
    ids = [r['id'] for r in rows]
    if len(set(ids)) != len(ids):
        sys.exit('mutants: two rows share an id')
    return rows


def sync():
    """Makes build-mutants/src a copy of the working tree. Only files whose
    bytes differ are written, so the build there stays incremental."""
    listed = subprocess.run(['git', 'ls-files', '-co', '--exclude-standard', '-z'], capture_output=True,
                            check=True).stdout.decode().split('\0')
    wanted = {p for p in listed if p and os.path.isfile(p)}
    for base, _, files in os.walk(src):
        for f in files:
            rel = os.path.relpath(os.path.join(base, f), src)
            if rel not in wanted:
                os.remove(os.path.join(src, rel))
    for rel in wanted:
        data = open(rel, 'rb').read()
        dest = os.path.join(src, rel)
        if not os.path.exists(dest) or open(dest, 'rb').read() != data:
            os.makedirs(os.path.dirname(dest), exist_ok=True)
            with open(dest, 'wb') as out:
                out.write(data)
        os.chmod(dest, os.stat(rel).st_mode & 0o777)


def build(programs):
    if not os.path.exists(os.path.join(bld, 'build.ninja')):
        cmd = ['cmake', '-S', src, '-B', bld, '-G', 'Ninja', '-DCMAKE_BUILD_TYPE=RelWithDebInfo',
               '-DCHATFERRY_BENCH=OFF']
        if subprocess.run(['sh', '-c', 'command -v ccache'], capture_output=True).returncode == 0:
            cmd += ['-DCMAKE_C_COMPILER_LAUNCHER=ccache', '-DCMAKE_CXX_COMPILER_LAUNCHER=ccache']
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    return subprocess.run(['cmake', '--build', bld, '-j', jobs, '--target'] + programs,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT).returncode == 0


def run_tests(programs):
    """None when every program passes, else what failed first."""
    env = dict(os.environ, QT_QPA_PLATFORM='offscreen', CHATFERRY_SOURCE_DIR=src)
    for program in programs:
        try:
            p = subprocess.run([os.path.join(bld, 'tests', program), '--gtest_fail_fast'], env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               timeout=time_limit)
        except subprocess.TimeoutExpired:
            return program + ' timed out'
        if p.returncode != 0:
            failed = re.search(rb'^\[  FAILED  \] (\S+)', p.stdout, re.M)
            return failed.group(1).decode() if failed else '%s exited with %d' % (program, p.returncode)
    return None


def mutate(row):
    """The row's status and what caught it."""
    path = os.path.join(src, row['file'])
    find, put = '\n'.join(row['find']), '\n'.join(row['put'])
    original = open(path, encoding='utf-8').read() if os.path.isfile(path) else ''
    if not find or original.count(find) != 1:
        return 'stale', 'text found %d times' % original.count(find) if find else 'no text'
    try:
        with open(path, 'w', encoding='utf-8') as f:
            f.write(original.replace(find, put))
        if not build(row['programs']):
            return 'nobuild', ''
        caught = run_tests(row['programs'])
        return ('caught', caught) if caught else ('missed', '')
    finally:
        with open(path, 'w', encoding='utf-8') as f:
            f.write(original)


rows = read_rows()
if only:
    unknown = only - {r['id'] for r in rows}
    if unknown:
        sys.exit('mutants: no row ' + ', '.join(sorted(unknown)))
    rows = [r for r in rows if r['id'] in only]
programs = sorted({p for r in rows for p in r['programs']})
os.makedirs(src, exist_ok=True)
sync()
if not build(programs):
    sys.exit('mutants: the unchanged sources do not build in ' + bld)
failing = run_tests(programs)
if failing:
    sys.exit('mutants: the unchanged suite fails (%s); nothing can be measured' % failing)

results = {}
try:
    for row in rows:
        start = time.time()
        status, detail = mutate(row)
        results[row['id']] = status
        print('%-8s %-34s %4.0fs  %s' % (status, row['id'], time.time() - start, detail), flush=True)
except KeyboardInterrupt:
    sys.exit('mutants: interrupted; the working tree was never changed')

counts = {s: list(results.values()).count(s) for s in ('caught', 'missed', 'stale', 'nobuild')}
print('%d rows: %d caught, %d missed, %d stale, %d do not build'
      % (len(results), counts['caught'], counts['missed'], counts['stale'], counts['nobuild']))
if write_to:
    # Rows measured now replace their records; the records of rows not run
    # (an --only run) stay as they were, new rows are added at the end.
    lines = open(write_to).read().splitlines() if os.path.exists(write_to) else [
        '# What the test suite caught of scripts/mutants.sh, row by row, measured before the',
        '# tests were trimmed; scripts/mutants.sh --check scripts/mutants.baseline compares with it.']
    left = dict(results)
    for i, line in enumerate(lines):
        parts = line.split()
        if len(parts) == 2 and not line.startswith('#') and parts[1] in left:
            lines[i] = '%s %s' % (left.pop(parts[1]), parts[1])
    lines += ['%s %s' % (status, ident) for ident, status in left.items()]
    with open(write_to, 'w') as f:
        f.write('\n'.join(lines) + '\n')
if check_with:
    before = {}
    for line in open(check_with):
        parts = line.split('#')[0].split()
        if len(parts) == 2:
            before[parts[1]] = parts[0]
    lost = [i for i, s in results.items() if before.get(i) == 'caught' and s == 'missed']
    for i, s in results.items():
        if s in ('stale', 'nobuild'):
            print('warning: %s is %s: update its row' % (i, s))
    if lost:
        sys.exit('mutants: caught before, missed now: ' + ' '.join(lost))
    print('mutants: every row caught before is still caught')
PY

# Rows: which fault each stands for is said above it. Foundation code that
# the chat data reads through is also tested from there, so its rows list
# both programs; the first that fails ends the row.
MUTATIONS

# A ".." part of a name from a backup or device is kept.
row safefile-dotdot foundation/safefile.cpp tests_foundation,tests_chatdata
-        if (part == QLatin1String(".."))
+        if (part == QLatin1String("..") && false)

# An absolute name is taken as relative to nothing.
row safefile-absolute foundation/safefile.cpp tests_foundation,tests_chatdata
-    if (path.startsWith(QLatin1Char('/')) || path.contains(QChar(0)))
+    if (path.contains(QChar(0)))

# A link on the way to a file that is about to be written is followed.
row safefile-link-below foundation/safefile.cpp tests_foundation,tests_chatdata
-        if (S_ISLNK(st.st_mode))
-            return false;
+        if (false)
+            return false;

# A link at a name opened for reading or writing is followed.
row safefile-nofollow foundation/safefile.cpp tests_foundation,tests_chatdata
-(followLink ? 0 : O_NOFOLLOW)
+0

# A FIFO or device is opened as if it were a file.
row safefile-regular-only foundation/safefile.cpp tests_foundation,tests_chatdata
-    if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
+    if (::fstat(fd, st) != 0) {

# A link to a sibling folder whose name starts like the root's counts as inside.
row confinement-prefix foundation/safefile.cpp tests_foundation,tests_chatdata
-    return real == m_rootReal || real.startsWith(m_rootReal + QLatin1Char('/'));
+    return real.startsWith(m_rootReal);

# A failed write or flush of an atomic file is reported as success.
row atomic-flush-ignored foundation/safefile.cpp tests_foundation,tests_chatdata
-    bool ok = m_file.flush() && m_file.error() == QFileDevice::NoError;
+    bool ok = true;

# A link at the end of a path in a container is taken as a plain file wherever it leads.
row confinement-final-link foundation/safefile.cpp tests_foundation,tests_chatdata
-    } else if (!S_ISLNK(st.st_mode)) {
+    } else if (true) {

# "." and ".." as a chat or message id become path parts as they are.
row encode-dots foundation/pathutil.cpp tests_foundation,tests_chatdata
-    else if (isDotsOnly(name))
+    else if (false)

# A "/" in an id is left in the file name made from it.
row encode-slash foundation/pathutil.cpp tests_foundation,tests_chatdata
-    return QString::fromLatin1(utf8.toPercentEncoding(" `~!@#$^&()-=_+[]{};',."));
+    return QString::fromLatin1(utf8.toPercentEncoding(" `~!@#$^&()-=_+[]{};',./"));

# A decoded name keeps what follows an escaped zero byte.
row decode-nul foundation/pathutil.cpp tests_foundation,tests_chatdata
-        out.truncate(nul);
+        ;

# A folder is copied into a folder of its own beside it ("a" into "ab").
row same-or-below-prefix foundation/pathutil.cpp tests_foundation
-        f += QLatin1Char('/');
+        ;

# A recursive copy follows links out of the tree.
row copy-follows-links foundation/pathutil.cpp tests_foundation
-    if (source.isSymLink())
-        return true;
+    if (false)
+        return true;

# A dangling link is handed out as a free file name.
row valid-path-dangling-link foundation/fileutil.cpp tests_foundation
-        return info.exists() || info.isSymLink();
+        return info.exists();

# Deleting a folder given as a link deletes what the link points to.
row delete-given-link foundation/fileutil.cpp tests_foundation,tests_chatdata
-    if (top.isSymLink()) {
+    if (false) {

# An archive entry is unpacked through a link already in the destination.
row unzip-through-link foundation/ziputil.cpp tests_foundation
-    if (passesThroughLink(root, path.mid(prefix.size())))
+    if (false)

# An archive unpacks beyond its data budget.
row unzip-budget foundation/ziputil.cpp tests_foundation
-        if (*budget < 0)
+        if (false)

# One entry more than the limit is unpacked.
row unzip-entries-off-by-one foundation/ziputil.cpp tests_foundation
-        if (entries >= limits.maxEntries)
+        if (entries > limits.maxEntries)

# A zip whose writes failed (a full disk) is reported as made.
row zip-write-error foundation/ziputil.cpp tests_foundation
-            failWrite(writeError);
+            ;

# A binary property list nested beyond the limit is handed to libplist.
row plist-binary-nesting foundation/plistcftype_parse.cpp tests_foundation
-        if (stack.size() >= size_t(maxNesting))
+        if (false)

# An XML property list with more elements than the budget is parsed.
row plist-xml-node-budget foundation/plistcftype_parse.cpp tests_foundation
-            || elements > maxNodes || widestDict > plistdetail::kMaxXmlDictKeys)
+            || widestDict > plistdetail::kMaxXmlDictKeys)

# A reference past the object table is handed to libplist.
row plist-ref-past-table foundation/plistcftype_parse.cpp tests_foundation
-        if (obj >= bin.numObjects || !bin.object(obj, &o) || ++count > maxNodes)
+        if (!bin.object(obj, &o) || ++count > maxNodes)

# A string longer than the bytes left is handed to libplist.
row plist-string-past-end foundation/plistcftype_parse.cpp tests_foundation
-            out->end = pos + size_t(count);
-            return count <= room;
+            out->end = pos + size_t(count);
+            return true;

# Objects that overlap (which no writer makes) are handed to libplist.
row plist-overlap foundation/plistcftype_parse.cpp tests_foundation
-        if (extents[i].first < extents[i - 1].second)
-            return false;
+        if (false)
+            return false;

# A binary string holding U+0000 is passed on uncut.
row plist-nul-cut foundation/plistcftype_parse.cpp tests_foundation
-                if (keep >= 0)
+                if (false)

# A keyed archive's values point one object too low.
row keyed-archive-object-uid foundation/nskeyedarchiver.cpp tests_foundation
-        nsObjects.append(uid(n + 2 + i));
+        nsObjects.append(uid(n + 1 + i));

# A failed COMMIT leaves the transaction open for the next statements.
row commit-rollback foundation/sqlite3db.cpp tests_foundation,tests_chatdata
-    if (m_db && !sqlite3_get_autocommit(m_db)) {
+    if (false) {

# Too few values bound to a statement go through as NULLs.
row bind-count foundation/sqlite3db.cpp tests_foundation,tests_chatdata
-    if (params.size() != sqlite3_bind_parameter_count(stmt)) {
+    if (params.size() > sqlite3_bind_parameter_count(stmt)) {

# A failing step (a damaged database) reads as the end of the rows.
row cursor-step-error foundation/sqlite3cursor.cpp tests_foundation,tests_chatdata
-    if (rc == SQLITE_DONE)
-        return false;
+    if (true)
+        return false;

# A column written in another case than the schema's is not found.
row schema-column-case foundation/dbschema.cpp tests_foundation,tests_chatdata
-    return cols_.contains(name.toLower());
+    return cols_.contains(name);

# A relative or missing folder in the redirect file becomes the data folder.
row data-redirect-checked foundation/datadir.cpp tests_foundation
-    return info.isAbsolute() && info.isDir() ? path : QString();
+    return path;

# A device still in use by another job is forgotten when one job ends.
row device-set-refcount foundation/workingdeviceset.cpp tests_foundation
-    if (it != map.end() && --it->users <= 0)
+    if (it != map.end())

# One log file more than asked is deleted.
row log-keep-off-by-one foundation/logsaver.cpp tests_foundation
-        for (qsizetype i = 0; i < files.size() - qMax(keep, 0); ++i)
+        for (qsizetype i = 0; i <= files.size() - qMax(keep, 0); ++i)

# A download beyond its size limit is written whole.
row download-size-limit foundation/curlhelper.cpp tests_foundation
-    if (self->m_maxBodySize > 0 && self->totalRecv() + n > self->m_maxBodySize) {
+    if (false) {

# A server with a certificate nobody vouches for is trusted.
row tls-verify-peer foundation/curlhelper.cpp tests_foundation
-    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
+    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);

# Closing the progress window without a result does not cancel the worker.
row progress-close-cancels foundation/progressform.cpp tests_foundation,tests_chatdata
-    cancelled = (result == 0);
+    cancelled = false;

# Decomposed pairs (a letter and one accent) are not composed back.
row utf8mac-pairs foundation/utf8mac.cpp tests_foundation,tests_chatdata
-            for (int len = 4; len >= 2 && !match; --len) {
+            for (int len = 4; len > 2 && !match; --len) {

# Progress calls folded together lose a status that only an earlier one set.
row progress-merge-status foundation/progressform.cpp tests_foundation
-        if (!laterStatus.isEmpty())
-            status = laterStatus;
+        status = laterStatus;

# Progress queued before a notice is applied after it.
row progress-seal-batch foundation/progressform.cpp tests_foundation
-    QMutexLocker lock(&m_progressMutex);
-    m_openBatch.reset();
-}
+}

# A cancel confirmed after the worker's success was shown signals a cancel.
row progress-cancel-after-result foundation/progressform.cpp tests_foundation
-    if (m_closed)
-        return;
-    if (yes) {
+    if (yes) {

# Escape or closing the window ends it without a result.
row progress-reject-closes foundation/progressform.cpp tests_foundation
-void ProgressForm::reject()
-{
-}
+void ProgressForm::reject()
+{
+    QDialog::reject();
+}

# A negative percent (keep the bar as it is) is shown as given.
row progress-keep-percent foundation/progressform.cpp tests_foundation
-    if (percent < 0)
-        percent = ui->progressBar->value();
+    ;

# The size limit of one request carries over to the next.
row curl-reset-limits foundation/curlhelper.cpp tests_foundation
-    m_maxBodySize = kDefaultMaxBodySize;
-    m_bodyTooLarge = false;
+    m_bodyTooLarge = false;

# The upload mode and body of one request carry over to the next.
row curl-reset-handle foundation/curlhelper.cpp tests_foundation
-    curl_easy_reset(handleOf(m_curl));
+    ;

# Header lines of one request are sent again with the next.
row curl-reset-headers foundation/curlhelper.cpp tests_foundation
-    curl_slist_free_all(m_headerList);
-    m_headerList = nullptr;
-    m_url.clear();
+    m_url.clear();

# A stop of one request also stops the next.
row curl-reset-stop foundation/curlhelper.cpp tests_foundation
-    m_stopped = false;
+    ;

# Other protocols than HTTP and HTTPS (file://) are fetched.
row curl-protocols foundation/curlhelper.cpp tests_foundation
-    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
+    ;

# A certificate made out for another host name is trusted.
row curl-verify-host foundation/curlhelper.cpp tests_foundation
-    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
+    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);

# A transfer runs on past its time limit.
row curl-timeout foundation/curlhelper.cpp tests_foundation
-    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(m_timeoutMs));
+    ;

# A stop from another thread waits for a silent server.
row curl-stop-silent foundation/curlhelper.cpp tests_foundation
-    return static_cast<const CURLHelper*>(object)->isStopped() ? 1 : 0;
+    return 0;

# Header lines of an interim answer are taken for the final answer's.
row curl-interim-headers foundation/curlhelper.cpp tests_foundation
-            m_respHeaders.clear();
-            m_statusCode = m.captured(1).toInt();
+            m_statusCode = m.captured(1).toInt();

# Cookies the server sets are not kept for later requests.
row curl-cookie-jar foundation/curlhelper.cpp tests_foundation
-        curl_easy_setopt(curl, CURLOPT_COOKIEJAR, m_cookieFile.constData());
+        ;

# Form fields go out unencoded: an "&" or "=" in a value splits it.
row curl-form-encoding foundation/curlhelper.cpp tests_foundation
-        body += key.toPercentEncoding() + '=' + fields.value(key).toPercentEncoding();
+        body += key + '=' + fields.value(key);

# A client released twice is handed to two users.
row curl-pool-double-release foundation/curlhelperpool.cpp tests_foundation
-        if (!client || freeList.contains(client))
+        if (!client)

# Another connection's commit goes unseen until this connection reads again.
row memo-other-connection foundation/sqlite3db.cpp tests_foundation
-    if (sqlite3_txn_state(m_db, "main") == SQLITE_TXN_NONE
+    if (false

# A memo of rows outlives changes that others made to the database.
row memo-guard foundation/sqlite3db.cpp tests_foundation,tests_chatdata
-    if (db.changeStamp() != memo.m_stamp)
-        memo.forget();
+    ;

# A keyed-archive UID past 32 bits is cut to a valid index.
row archive-uid-64bit foundation/nskeyedarchiver.cpp tests_foundation
-    plist_get_uid_val(node, &v);
-    return v;
+    plist_get_uid_val(node, &v);
+    return uint32_t(v);

# More keys than values pair the extra keys with "$null".
row archive-pair-count foundation/nskeyedarchiver.cpp tests_foundation
-    const uint32_t n = std::min(arraySize(keys), arraySize(values));
+    const uint32_t n = arraySize(keys);

# A root entry's UID is handed out instead of the object it names.
row archive-resolve-uid foundation/nskeyedarchiver.cpp tests_foundation
-        plist_t item = plist_get_node_type(value) == PLIST_UID ? objectAt(objects, uidIndex(value)) : value;
+        plist_t item = value;

# A key without a value shifts the values written after it.
row archive-skip-null foundation/nskeyedarchiver.cpp tests_foundation
-        if (!it.value().isNull())
+        if (true)

# The written archive names its class record one object too low.
row archive-class-uid foundation/nskeyedarchiver.cpp tests_foundation
-        .put(QStringLiteral("$class"), uid(2 * n + 2));
+        .put(QStringLiteral("$class"), uid(2 * n + 1));

# Decoded values stay borrowed from the archive they came from.
row archive-values-copied foundation/nskeyedarchiver.cpp tests_foundation
-value ? PlistCFType(plist_copy(value), true) : PlistCFType()
+value ? PlistCFType(value, false) : PlistCFType()

# A borrowed node is linked in instead of copied.
row plist-copy-borrowed foundation/plistcftype.cpp tests_foundation
-    const bool free = value.owner->owned && !plist_get_parent(node) && !isAncestorOrSelf(node, ref());
+    const bool free = !plist_get_parent(node) && !isAncestorOrSelf(node, ref());

# A container put into itself makes a cycle.
row plist-no-cycle foundation/plistcftype.cpp tests_foundation
-    const bool free = value.owner->owned && !plist_get_parent(node) && !isAncestorOrSelf(node, ref());
+    const bool free = value.owner->owned && !plist_get_parent(node);

# A value handed to a container still frees its node.
row plist-hand-over foundation/plistcftype.cpp tests_foundation
-    value.owner->owned = false;
+    ;

# A cancel confirmed during the last message still commits the run.
row backup-cancel-at-end chatdata/backuplinemessagesthread.cpp tests_chatdata
-        throw kCancelled;
-    db.commitTran();
+    db.commitTran();

# The cancel flag is not looked at while messages are stored.
row backup-cancel-in-loop chatdata/backuplinemessagesthread.cpp tests_chatdata
-        if (m_progress.cancelled)
-            throw kCancelled;
+        if (false)
+            throw kCancelled;

# A message stored by an earlier run is stored again.
row backup-duplicates chatdata/backuplinemessagesthread.cpp tests_chatdata
-        if (row == 0)
+        if (true)

# A message listed twice is counted twice in the notice.
row backup-count-distinct chatdata/backuplinemessagesthread.cpp tests_chatdata
-    return std::unique(storedRows.begin(), storedRows.end()) - storedRows.begin();
+    return qint64(storedRows.size());

# Media files that could not be stored go unmentioned.
row backup-failed-files chatdata/backuplinemessagesthread.cpp tests_chatdata
-        ++m_failedFiles;
+        ;

# A media copy of another size than its source is kept.
row media-copy-size chatdata/backuplinemessagesthread.cpp tests_chatdata
-    if (::lstat(QFile::encodeName(to).constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == size)
+    if (::lstat(QFile::encodeName(to).constData(), &st) == 0 && S_ISREG(st.st_mode))

# A message id is looked for in every chat, not in its own.
row localdb-find-in-chat chatdata/linelocaldb_write.cpp tests_chatdata
-"select _id from line_msg where uid=? and +chat_id=?"
+"select _id from line_msg where uid=? and ?>0"

# Messages without id are taken for one another.
row localdb-uid-valid chatdata/linelocaldb_write.cpp tests_chatdata
-    if (!isLineMsgUidValid(uid))
-        return 0;
+    if (false)
+        return 0;

# A sender without LINE id is stored as a user row of its own.
row localdb-unknown-sender chatdata/linelocaldb_write.cpp tests_chatdata
-    const qint64 fromId = msg->from && !msg->from->uid.isEmpty() ? findOrInsertUserThrow(msg->from) : 0;
+    const qint64 fromId = msg->from ? findOrInsertUserThrow(msg->from) : 0;

# A chat id from the store becomes a folder name unencoded.
row localdb-media-chat-encoded chatdata/linelocaldb.cpp tests_chatdata
-    const QString chatPart = msg->chat ? pathutil::encodeFileName(msg->chat->uid) : kNoChatFolder;
+    const QString chatPart = msg->chat ? msg->chat->uid : kNoChatFolder;

# The suffix of a sender's file name becomes part of a path unencoded.
row localdb-file-suffix-encoded chatdata/linelocaldb.cpp tests_chatdata
-                                                                   + pathutil::encodeFileNamePart(suffix));
+                                                                   + suffix);

# Messages of one second come back in another order than stored.
row localdb-page-order chatdata/linelocaldb.cpp tests_chatdata
-    sql.appendSql(asc ? QStringLiteral(" order by ts asc, m._id asc") : QStringLiteral(" order by ts desc, m._id desc"));
+    sql.appendSql(asc ? QStringLiteral(" order by ts asc, m._id desc") : QStringLiteral(" order by ts desc, m._id desc"));

# Users who sent messages are purged as junk.
row localdb-purge-senders chatdata/linelocaldb.cpp tests_chatdata
-        if (!senders.contains(id))
+        if (true)

# A database this run created and could not prepare stays behind.
row localdb-failed-open-cleanup chatdata/linelocaldb.cpp tests_chatdata
-        if (!existed) {
+        if (false) {

# LINE's thumbnail is read wherever a link in the container leads.
row ios-thumb-confined chatdata/ioslinedb_messages.cpp tests_chatdata
-            QString thumbReal = confinement.realPath(lineThumb);
+            QString thumbReal = lineThumb;

# Attachments count as present wherever a link in the container leads.
row ios-attachment-confined chatdata/ioslinedb_messages.cpp tests_chatdata
-            const QString real = confinement.realPath(path);
-            return !real.isEmpty() && safefile::isRegularFile(real);
+            return QFileInfo(path).isFile();

# A sender that is not loaded reads as the account owner.
row ios-unknown-sender chatdata/ioslinedb_messages.cpp tests_chatdata
-            if (!msg.from)
-                msg.from = data.unknownUser();
+            ;

# The next page skips messages of the same time as the last one read.
row ios-page-resume-ties chatdata/ioslinedb_messages.cpp tests_chatdata
-        sql.appendSql(asc ? QStringLiteral(" and m.ZTIMESTAMP >= ? and (m.ZTIMESTAMP > ? or m.Z_PK > ?)")
+        sql.appendSql(asc ? QStringLiteral(" and m.ZTIMESTAMP > ? and (m.ZTIMESTAMP > ? or m.Z_PK > ?)")

# A page further on resumes after the last page read, as if it were the next.
row ios-page-resume-jump chatdata/ioslinedb_messages.cpp tests_chatdata
-pc.page + 1 == page
+pc.page < page

# Media of a chat that reached the store after loading are looked for outside its folder.
row ios-late-chat-media chatdata/ioslinedb_messages.cpp tests_chatdata
-        const auto chatUid = [&] { return msgChat ? msgChat->uid : cur.getText(iChatMid); };
+        const auto chatUid = [&] { return msgChat ? msgChat->uid : QString(); };

# A contact's name is read escaped as stored, and a restore escapes it again.
row ios-contact-unescaped chatdata/ioslinedb_metadata.cpp tests_chatdata
-    contact.name.replace(QStringLiteral("&amp;"), QStringLiteral("&"));
+    ;

# A store from before sticker packages fails to read its stickers.
row ios-no-sticker-packages chatdata/ioslinedb.cpp tests_chatdata
-    if (!schema.containsTable(QStringLiteral("ZSTICKERPACKAGE")))
+    if (false)

# An entity number that is no positive 32-bit integer names tables and columns.
row ios-entity-number-unchecked chatdata/ioslinegroupdb.cpp tests_chatdata
-                                                 " where typeof(Z_ENT)='integer' and Z_ENT between 1 and 2147483647"));
+                                                 ""));

# Messages of chats the app disabled stay in the copy and are counted.
row ios-purge-disabled chatdata/ioslinedb.cpp tests_chatdata
-                executeThrow(Sqlite3Sql(QStringLiteral("delete from zmessage where zchat in ") + disabled));
+                executeThrow(Sqlite3Sql(QStringLiteral("delete from zmessage where 0 and zchat in ") + disabled));

# A message restored to the phone is written as the owner's.
row restore-sender chatdata/ioslinedb_restore.cpp tests_chatdata
-    if (!own)
-        row["ZSENDER"] = userKeyThrow(*this, msg->from);
+    if (false)
+        row["ZSENDER"] = userKeyThrow(*this, msg->from);

# An own voice message restored from a backup names a path of this computer.
row restore-voice-path-relative chatdata/ioslinedb_restore.cpp tests_chatdata
-    if (!deviceHome.startsWith(QLatin1Char('/')))
-        return rel;
+    if (false)
+        return rel;

# A chat's summary after a restore says the owner sent what was received.
row restore-summary-sender chatdata/ioslinedb_restore.cpp tests_chatdata
-    return received ? QString::fromLatin1(other).arg(senderName) : QString::fromLatin1(own);
+    return received ? QString::fromLatin1(own) : QString::fromLatin1(other).arg(senderName);

# Core Data's key counter is lowered, so keys of deleted rows come back.
row restore-key-counter chatdata/ioslinedb_restore.cpp tests_chatdata
-"update Z_PRIMARYKEY set Z_MAX=max(ifnull(Z_MAX,0),"
+"update Z_PRIMARYKEY set Z_MAX=min(ifnull(Z_MAX,0),"

# A text restored to the phone keeps a broken emoji run.
row restore-emoji-repair chatdata/ioslinedb_restore.cpp tests_chatdata
-        row["ZTEXT"] = textBytes(repairedRawContent(msg->rawContent));
+        row["ZTEXT"] = textBytes(msg->rawContent);

# "0" is taken as a message id.
row uid-zero-invalid chatdata/linemsg.cpp tests_chatdata
-    return !uid.isEmpty() && uid != QLatin1String("0");
+    return !uid.isEmpty();

# Any text with U+FFFD is rewritten as if it held a broken emoji run.
row fffd-needs-run chatdata/linerawcontent.cpp tests_chatdata
-    return raw.contains(replacementChar()) && findRunStart(raw, 0) >= 0;
+    return raw.contains(replacementChar());

# A list attached to a message reads one element too many and is lost.
row tinykv-list-count chatdata/tinykvserializer.cpp tests_chatdata
-        for (qint32 i = 0; i < count; ++i) {
+        for (qint32 i = 0; i <= count; ++i) {

# A page read in one order is served for the other.
row page-cache-order chatdata/linedata.cpp tests_chatdata
-    if (cache.chat != chat || cache.page != page || cache.asc != asc) {
+    if (cache.chat != chat || cache.page != page) {

# A store that failed to load is reported as loaded.
row load-failure-reported chatdata/loadlinedbthread.cpp tests_chatdata
-        failed = true;
+        failed = false;

# Any preferences id is kept as a LINE account.
row account-needs-user-id chatdata/ioslinedb.cpp tests_chatdata
-    if (!mid.isEmpty() && mid.startsWith(QLatin1Char('u'), Qt::CaseInsensitive)) {
+    if (!mid.isEmpty()) {

# A store in the older Documents/.../talk.sqlite place is not looked for.
row ios-layout-documents chatdata/ioslinedb.cpp tests_chatdata
-        setRel(docs + QStringLiteral("/talk.sqlite"));
-        if (!isFile(dbRelPath))
-            setRel(docs + QStringLiteral("/Messages/Line.sqlite"));
+        setRel(docs + QStringLiteral("/Messages/Line.sqlite"));

# Another PrivateStore folder is not searched when the account's has no store.
row ios-layout-other-folder chatdata/ioslinedb.cpp tests_chatdata
-        if (!isFile(dbRelPath)) {
-            QDir dir(containerDir.absoluteFilePath(libraryPrivate));
+        if (false) {
+            QDir dir(containerDir.absoluteFilePath(libraryPrivate));

# Of several PrivateStore folders, the last by name is taken.
row ios-layout-folder-order chatdata/ioslinedb.cpp tests_chatdata
-                return c != 0 ? c < 0 : a < b;
+                return c != 0 ? c > 0 : a < b;

# The owner is recognised only with the mid's exact case.
row ios-owner-case chatdata/ioslinedb_load.cpp tests_chatdata
-        return !mid.isEmpty() && uid.compare(mid, Qt::CaseInsensitive) == 0;
+        return !mid.isEmpty() && uid == mid;

# The owner joins one-to-one chats.
row ios-owner-not-single chatdata/ioslinedb_load.cpp tests_chatdata
-            if (c->type != LineChatType::SINGLE && owner)
+            if (owner)

# Without a user row for the account, rooms get no owner.
row ios-made-up-owner chatdata/ioslinedb_load.cpp tests_chatdata
-    if (!owner && !mid.isEmpty()) {
+    if (false) {

# A group store's creator key is taken for a key of the main store's users.
row ios-group-creator-by-mid chatdata/ioslinedb_load.cpp tests_chatdata
-                    creator = mainUserByMid(*cm);
+                    creator = data.user(creatorKey);

# The main store's own groups are read beside a group store.
row ios-group-store-only chatdata/ioslinedb_load.cpp tests_chatdata
-    if (!groupDb.isOpen()) {
+    if (true) {

# Messages are read per chat without the chat-and-time index.
row ios-chat-time-index chatdata/ioslinedb.cpp tests_chatdata
-    const bool addChatIndex = !schema.containsIndex(QString::fromLatin1(kChatTimestampIndex))
+    const bool addChatIndex = false

# Message ids read for duplicate tests are kept after other statements changed the rows.
row restore-ids-forget chatdata/ioslinedb_restore_p.h tests_chatdata
-    void forget() override { m_byChat.clear(); }
+    void forget() override { }

# The owner is written as a chat member when the mid's case differs.
row restore-owner-not-member chatdata/ioslinedb_restore.cpp tests_chatdata
-        if (user->uid.compare(owner, Qt::CaseInsensitive) == 0)
+        if (user->uid == owner)

# A member pair already in the join table is written again.
row restore-member-once chatdata/ioslinedb_restore.cpp tests_chatdata
-    const QString sql = QStringLiteral("insert into %1(%2,%3) select ?,? where not exists"
-                                       " (select 1 from %1 where %2=? and %3=?)")
+    const QString sql = QStringLiteral("insert into %1(%2,%3) select ?,? where ?+? is not null")

# Users are written under the usual entity number, not the store's.
row restore-user-entity chatdata/ioslinedb_restore.cpp tests_chatdata
-    row["Z_ENT"] = getPrimaryKey(QStringLiteral("User"), table, 12);
+    row["Z_ENT"] = 12;

# Columns an older model lacks are written all the same.
row restore-optional-columns chatdata/ioslinedb_restore.cpp tests_chatdata
-    putOptional(row, schema, table, {{"ZE2EECONTENTTYPES", 0}, {"ZFAVORITEORDER", 0}});
+    putFixed(row, {{"ZE2EECONTENTTYPES", 0}, {"ZFAVORITEORDER", 0}});

# The sortable name keeps its capitals.
row restore-sortable-name chatdata/ioslinedb_restore.cpp tests_chatdata
-    row["ZSORTABLENAME"] = sortable.toLower();
+    row["ZSORTABLENAME"] = sortable;

# Group rows go into a store whose groups live in the group store.
row restore-own-groups chatdata/ioslinedb_restore.cpp tests_chatdata
-    return !db.groupStore().isOpen() && db.dbSchema().containsTable(QStringLiteral("ZGROUP"));
+    return db.dbSchema().containsTable(QStringLiteral("ZGROUP"));

# A contact's name goes into its archive with its markup unescaped.
row meta-contact-escape chatdata/ioslinedb_metadata.cpp tests_chatdata
-    shown.replace(QLatin1Char('<'), QStringLiteral("&lt;"));
+    ;

# An own voice message's archive counts no receivers.
row meta-voice-receivers chatdata/ioslinedb_metadata.cpp tests_chatdata
-        const int receivers = msg->chat ? int(msg->chat->users.size()) : 0;
+        const int receivers = 0;

# Escaped line breaks of a place name stay in its one-line summary.
row summary-escaped-breaks chatdata/linemsg.cpp tests_chatdata
-    s.replace(QStringLiteral("\\n"), QStringLiteral(" "));
+    ;

# A location without a place name is summarised without its text.
row summary-location-text chatdata/linemsg.cpp tests_chatdata
-    if (s.isEmpty())
-        s = text.trimmed();
+    ;

# A voice length is cut to whole seconds instead of rounded.
row voice-length-rounded chatdata/linemsg.cpp tests_chatdata
-    const qint64 total = tenths >= 5 ? whole + 1 : whole;
+    const qint64 total = whole;
# Backup store: reading backup folders, their keys and lists, and writing into them.

# A keybag record longer than what is left is read cut, as if it were whole.
row keybag-record-past-end backup/keybaginfo.cpp tests_backup
-        if (length > quint64(data.size() - pos)) {
+        if (false) {

# A class key whose "CLAS" is too short to hold a number is silently skipped.
row keybag-short-class backup/keybaginfo.cpp tests_backup
-        else if (current.tags.contains(clas))
-            kb.damage = QStringLiteral("a \"CLAS\" value is shorter than 4 bytes");
+        ;

# A keybag asking for billions of derivation rounds keeps the password check busy for hours.
row keybag-rounds-bound backup/keybaginfo.cpp tests_backup
-    if (*out == 0 || *out > kMaxRounds) {
+    if (*out == 0) {

# A class key that does not unwrap under the password key is passed over: a wrong password gets in.
row keybag-wrong-password backup/keybaginfo.cpp tests_backup
-        if (k.isEmpty())
-            return false;
+        if (k.isEmpty())
+            continue;

# An encrypted backup whose keybag seals nothing with the password takes any password.
row encrypted-takes-any-password backup/backupmanifest.cpp tests_backup
-    if (info.isEncrypted && unwrapped == 0)
+    if (false)

# Without a UDID, the device name is scattered between the characters of the folder's name.
row display-name-empty-udid backup/backupmanifest.cpp tests_backup
-    else if (!info.udid.isEmpty() && folder.contains(info.udid))
+    else if (folder.contains(info.udid))

# A Manifest.plist that does not parse reads as an unencrypted backup.
row damaged-plist-reads-plain backup/backupmanifest.cpp tests_backup
-    if (!plist.isCFDictionary())
+    if (false)

# The decrypted file list of an encrypted backup is readable by everyone.
row decrypted-list-private backup/backupmanifest.cpp tests_backup
-    decryptToThrow(derived.key, dir.absoluteFilePath(QStringLiteral("Manifest.db")), copy, 0600);
+    decryptToThrow(derived.key, dir.absoluteFilePath(QStringLiteral("Manifest.db")), copy, 0644);

# A data file whose last block has bad padding (cut, wrong key) decrypts "successfully".
row file-padding-unchecked backup/qopensslevpaes.cpp tests_backup
-    if (EVP_CipherFinal_ex(ctx, buf.get(), &n) != 1) {
+    if (EVP_CipherFinal_ex(ctx, buf.get(), &n) != 1 && false) {

# A salted row whose padding is bad (wrong password, cut text) decrypts "successfully".
row row-padding-unchecked backup/qopensslevpaes.cpp tests_backup
-    if (EVP_CipherFinal_ex(ctx, dst + n, &last) != 1) {
+    if (EVP_CipherFinal_ex(ctx, dst + n, &last) != 1 && false) {

# The partial output of a failed decryption appears at its name.
row failed-decrypt-output-appears backup/backupmanifest_copy.cpp tests_backup
-        throw error(what.arg(aes.lastError) + QStringLiteral(" (%1)").arg(in.fileName()));
+        out.commit(), throw error(what.arg(aes.lastError) + QStringLiteral(" (%1)").arg(in.fileName()));

# A file whose stored key does not unwrap is handed out as its ciphertext.
row ciphertext-handed-out backup/backupmanifest_copy.cpp tests_backup
-        if (key.isEmpty())
-            throw error(tr("%1 of %2 cannot be decrypted: its file key does not unwrap with the backup's keys.")
+        if (false)
+            throw error(tr("%1 of %2 cannot be decrypted: its file key does not unwrap with the backup's keys.")

# A Manifest.mbdb record with a null domain is dropped after its domain alone:
# the rest of it is read as the next record.
row mbdb-null-domain-desync backup/mbdbreader.cpp tests_backup
-        item.domain = g_readBinary(s);
-        item.path = g_readBinary(s);
+        item.domain = g_readBinary(s);
+        if (!item.domain.isValid())
+            continue;
+        item.path = g_readBinary(s);

# A Manifest.mbdb cut inside a record is read as complete, the missing bytes as zeros.
row mbdb-cut-accepted backup/mbdbreader.cpp tests_backup
-        if (m_buf.size() - m_pos < n && !fill(n))
+        if (m_buf.size() - m_pos < n && !fill(n) && (m_buf.append(QByteArray(n, 0)), false))

# A Manifest.db row that does not decode is not marked, so writers rebuild it from defaults.
row undecoded-not-marked backup/manifestdbreader.cpp tests_backup
-    row.item.undecoded = !mbdbdetail::decodeMBFile(row.value, row.item);
+    mbdbdetail::decodeMBFile(row.value, row.item);

# A salted row that does not decrypt is kept as an empty record.
row salted-row-error-dropped backup/manifestdbreader.cpp tests_backup
-            if (!row.error.isEmpty())
+            if (false)

# A file merged where a link was recorded stays a link in the list.
row merge-link-stays-link backup/mbdbwriter.cpp tests_backup
-    if (!r->isFolder() && r->linkTarget.isValid()) {
+    if (false) {

# A large list's slices are sorted but never merged.
row tree-slices-unmerged backup/backupmanifest_tree.cpp tests_backup
-    for (size_t run = size; run < n; run *= 2) {
+    for (size_t run = size; run < size; run *= 2) {

# A merge of two sorted slices cuts them at the wrong element.
row tree-merge-cut backup/backupmanifest_tree.cpp tests_backup
-                    if (less(from[b + k - mid - 1], from[a + mid]))
+                    if (less(from[b + k - mid], from[a + mid]))

# The last part of a merged slice is dropped.
row tree-merge-rest backup/backupmanifest_tree.cpp tests_backup
-            std::copy(y, yEnd, std::copy(x, xEnd, to));
+            std::copy(x, xEnd, to);

# Paths of the list ("..", "/x", "a//b") become nodes uncleaned.
row tree-paths-uncleaned backup/backupmanifest_tree.cpp tests_backup
-            r.kept = d.usable && (stored.isEmpty() || safefile::cleanRelativePath(stored, &path));
+            r.kept = d.usable && (stored.isEmpty() || (path = stored, true));

# An app domain named "AppDomain-.." or "AppDomain-a/b" becomes folders of the tree.
row tree-app-domain-names backup/backupmanifest_tree.cpp tests_backup
-            usable = isPlainName(top) && isPlainName(app.captured(2));
+            usable = true;

# A new file onto an undecoded row keeps the row's empty record and updates it.
row undecoded-row-updated backup/mbdbwriter.cpp tests_backup
-    if (r == map.files.end() || r->undecoded)
+    if (r == map.files.end())

# Manifest.db is changed in place, before the data files of the merge are in place.
row list-written-in-place backup/mbdbwriter.cpp tests_backup
-    db.openThrow(copy, 2);
+    db.openThrow(source, 2);

# Manifest.mbdb is replaced before the data files of the merge are in place.
row mbdb-written-before-commit backup/mbdbwriter.cpp tests_backup
-        writeMbdbThrow(items, into.stageThrow(backup.dir.absoluteFilePath(QStringLiteral("Manifest.mbdb"))));
+        writeMbdbThrow(items, backup.dir.absoluteFilePath(QStringLiteral("Manifest.mbdb")));

# The encrypted Manifest.db is not written again: the merge's records exist only in the decrypted copy.
row encrypted-list-not-written backup/mbdbwriter.cpp tests_backup
-    if (encrypted)
-        BackupManifest::encryptFileThrow(copy, staged.stageThrow(listPath), backup.manifestKey);
+    ;

# New records past the top of int all get the same inode number.
row inode-not-advanced backup/mbdbwriter.cpp tests_backup
-    map.topInode = qMax(map.topInode, qint64(INT_MAX)) + 1;
+    map.topInode = qMax(map.topInode, qint64(INT_MAX));

# The highest inode number in use is not kept: new numbers start again from 1.
row inode-top-forgotten backup/mbdbparser.cpp tests_backup
-    topInode = qMax(topInode, (qint64(item.inodeHigh) << 32) + item.inodeNumber);
+    ;

# A record keeps its old protection class when it gets the key of another class.
row class-not-following-key backup/mbdbwriter.cpp tests_backup
-        r->protectionClass = qint8(key->protectionClass > 0 ? key->protectionClass : class4 ? 4 : 3);
+        ;

# A path longer than a list record holds is appended.
row overlong-path-appended backup/mbdbwriter.cpp tests_backup
-    if (domainBytes.size() > kMaxString || relativePath.toUtf8().size() > kMaxString) {
+    if (false) {

# A text whose length wraps the 16-bit field is written, and the list after it is unreadable.
row mbdb-length-wraps backup/mbdbwriter.cpp tests_backup
-    if (s.data.size() != (s.isValid() ? s.length : 0))
+    if (false)

# An empty file merged into an encrypted backup records the size of its padded data file.
row empty-file-size backup/iosmergewafiles2itunesbkthread.cpp tests_backup
-            map.files[p.id].size = p.size;
+            ;

# A merge cancelled by the user goes on and commits.
row merge-cancel-ignored backup/iosmergewafiles2itunesbkthread.cpp tests_backup
-    const auto cancelled = [this]() -> bool { return progress.cancelled; };
+    const auto cancelled = []() -> bool { return false; };

# A data path that passes through a link planted in the backup is written through it.
row merge-through-link backup/iosmergewafiles2itunesbkthread.cpp tests_backup
-                    .isEmpty())
+                    .isEmpty() && false)

# A file the caller asked to keep is overwritten.
row merge-overwrites-kept backup/iosmergewafiles2itunesbkthread.cpp tests_backup
-            if (!e.overwrite && (!data.isEmpty() || (onDiskNow && map.files.contains(id))))
+            if (false)

# A class whose key is missing gets its files stored unencrypted in an encrypted backup.
row merge-without-class-key backup/iosmergewafiles2itunesbkthread.cpp tests_backup
-            if ((need3 && key3.key.isEmpty()) || (need4 && key4.key.isEmpty()))
+            if (false)

# A local file that vanished before the merge fails the whole merge.
row merge-missing-local-file backup/iosmergewafiles2itunesbkthread.cpp tests_backup
-    return !e.relativePath.isEmpty() && !e.localFile.isEmpty() && !e.domain.isEmpty() && local.isFile();
+    return !e.relativePath.isEmpty() && !e.localFile.isEmpty() && !e.domain.isEmpty();

# A backup without a class-4 key refuses a merge of class-3 files only.
row merge-needs-unused-class-key backup/iosmergewafiles2itunesbkthread.cpp tests_backup
-            if ((need3 && key3.key.isEmpty()) || (need4 && key4.key.isEmpty()))
+            if (key3.key.isEmpty() || key4.key.isEmpty())

# A failed or cancelled merge leaves its staged files and folders in the backup.
row staged-files-left backup/stagedfiles.cpp tests_backup
-    if (!m_committed)
-        discard();
+    if (false)
+        discard();

# A data file that is a folder is moved aside and replaced.
row commit-replaces-folder backup/stagedfiles.cpp tests_backup
-        if (e.existed && kind == S_IFDIR && !e.removal) {
+        if (false) {

# An undone commit leaves the new contents in place of the old ones.
row commit-undo-keeps-new backup/stagedfiles.cpp tests_backup
-                     : ::rename(native(e.aside).constData(), native(e.target).constData()) != 0)
+                     : false)

# The trimmed list drops the domains the restore asks to keep.
row trim-drops-kept-domains backup/backupmanifest_trim.cpp tests_backup
-    if (keepItemsSet.contains(QString::fromLatin1(fileid).toLower()) || ctx.keepDomains.contains(name))
+    if (keepItemsSet.contains(QString::fromLatin1(fileid).toLower()))

# The trimmed list keeps rows whose data file is missing.
row trim-keeps-absent-files backup/backupmanifest_trim.cpp tests_backup
-        return flags == 2
+        return flags != 0

# A file ID from the list that is not a SHA-1 text is looked up as a path.
row trim-hostile-file-id backup/backupmanifest_trim.cpp tests_backup
-            || (flags == 1 && isFileId(fileid)
+            || (flags == 1

# The trimmed list keeps system domains nobody asked for.
row trim-system-unasked backup/backupmanifest_trim.cpp tests_backup
-    return ctx.keepSystem && (!appDomain || platformApp) && present();
+    return (!appDomain || platformApp) && present();

# A failed trim leaves its output, which a restore would then send.
row trim-failure-leaves-output backup/backupmanifest_trim.cpp tests_backup
-    } catch (...) {
-        for (const QString& path : {outPath, plain, work, work + QStringLiteral("-wal"), work + QStringLiteral("-shm")})
-            QFile::remove(path);
+    } catch (...) {

# An older trimmed list stays when a new trim fails, and a restore would send it.
row trim-stale-output-kept backup/backupmanifest_trim.cpp tests_backup
-    for (const QString& path : {outPath, plain, work})
-        removeThrow(path);
+    ;

# The trimmed list of an encrypted backup is sent unencrypted.
row trim-output-not-encrypted backup/backupmanifest_trim.cpp tests_backup
-            renameThrow(work, plain);
-            encryptFileThrow(plain, outPath, manifestKey);
+            renameThrow(work, outPath);

# The device layer: paths the phone names, copies that may be cut short,
# cancels, and failures that must not pass for success.

# A device folder "uu" counts as inside the device folder "u".
row hook-folder-prefix device/backup2toolhook.cpp tests_device
-        && (folder.isEmpty() || clean == folder || clean.startsWith(folder + QLatin1Char('/'))))
+        && (folder.isEmpty() || clean.startsWith(folder)))

# A link on the way of a path the phone names is followed out of the backup.
row hook-resolve-inside device/backup2toolhook.cpp tests_device
-        if (::lstat(QFile::encodeName(full.left(base.size() + 1 + end)).constData(), &st) != 0) {
+        if (::stat(QFile::encodeName(full.left(base.size() + 1 + end)).constData(), &st) != 0) {

# Links are taken for what they point to when files are copied, listed or removed.
row hook-kind-follows-links device/backup2toolhook.cpp tests_device
-    if (::lstat(QFile::encodeName(path).constData(), st) != 0)
+    if (::stat(QFile::encodeName(path).constData(), st) != 0)

# A folder moved onto its own parent is deleted by clearing the destination.
row hook-move-onto-parent device/backup2toolhook.cpp tests_device
-    if (src.startsWith(dst + QLatin1Char('/')) || dst.startsWith(src + QLatin1Char('/'))) {
+    if (false) {

# A folder copied into itself copies without end.
row hook-copy-into-source device/backup2toolhook.cpp tests_device
-    if (kindOf(from) != Kind::Missing && pathutil::isSameOrBelow(to, from)) {
+    if (false) {

# A backup run for a UDID that is not a plain one is started anyway.
row engine-udid-checked device/backup2tool.cpp tests_device
-    if (!isValidUdid(m_udid)
-        || idevice_new_with_options
+    if (idevice_new_with_options

# A send tries again and again without a wait a cancel can end: a phone
# that does not read holds the worker.
row engine-cancel-send-blocks device/backup2tool_channel.cpp tests_device
-        const Wait w = ready(POLLOUT, left);
+        const Wait w = left < 0 ? Closed : Done;

# The phone's error code is dropped: a failed backup or restore passes for success.
row engine-verdict-code device/backup2tool.cpp tests_device
-        return code.CFNumberInt(0);
+        return 0;

# A phone that runs out of room is taken to have finished.
row engine-purge-disk-space device/backup2tool.cpp tests_device
-                 return -36;
+                 return 0;

# A file outside the device folder is sent to the phone.
row files-download-confined device/backup2tool_files.cpp tests_device
-    const QString local = devicePath(wanted, nullptr);
+    const QString local = m_root.absoluteFilePath(wanted);

# An end record that carries a text after some data fails the whole backup.
row files-remote-error-after-data device/backup2tool_files.cpp tests_device
-        } else if (code == CodeSuccess || hadData) {
+        } else if (code == CodeSuccess || (hadData && text.isEmpty())) {

# A failed write of an uploaded file passes for success.
row files-write-error device/backup2tool_files.cpp tests_device
-            r = file.error();
-            error = file.errorString();
-        }
-    };
+        }
+    };

# A file whose buffered data could not be flushed passes for written.
row files-flush-error device/backup2tool_files.cpp tests_device
-    if (r == 0 && file.isOpen() && !file.flush()) {
+    if (false) {

# A move or copy into another device's folder goes to the hook.
row files-copy-confined device/backup2tool_files.cpp tests_device
-    const int rc = target.isEmpty() ? Backup2ToolHook::RefusedPath : m_hook->copyFile(m_root, from, to, error);
+    const int rc = m_hook->copyFile(m_root, from, to, error);

# Files of another device's folder are removed.
row files-remove-confined device/backup2tool_files.cpp tests_device
-        if (!local.isEmpty()) {
+        if (!path.isEmpty()) {

# A failed move is reported to the phone as done.
row files-move-status device/backup2tool_files.cpp tests_device
-    if (const int r = sendStatus(client, statusCode(rc), error, emptyDict()))
-        throw failure(QString("backup2tool::moveFilesThrow
+    if (const int r = sendStatus(client, 0, error, emptyDict()))
+        throw failure(QString("backup2tool::moveFilesThrow

# A partial backup keeps the files of every other app.
row fake-other-apps-dropped device/fakebackup2toolhook.cpp tests_device
-    return uuid.isEmpty() || !allUserAppUuids.contains(uuid);
+    return true;

# A LINE container named in lower case is not recognised, and LINE's files are dropped.
row fake-uuid-case device/fakebackup2toolhook.cpp tests_device
-    return uuid.match(text).captured(1).toUpper();
+    return uuid.match(text).captured(1);

# Files the partial backup drops are written anyway.
row fake-dropped-not-written device/fakebackup2toolhook.cpp tests_device
-    if (kept)
-        return Backup2ToolHook::recvFileOpenWrite(root, path, file, error);
+    if (true)
+        return Backup2ToolHook::recvFileOpenWrite(root, path, file, error);

# A kept file that has gone from the folder is listed, so the phone never sends it again.
row fake-lost-file-listed device/fakebackup2toolhook.cpp tests_device
-        if (!local.isEmpty() && kind == Kind::File) {
+        if (!local.isEmpty()) {

# An index left without its file list still lists files the backup lacks.
row fake-stale-index device/fakebackup2toolhook.cpp tests_device
-    if (!folder.exists("Manifest.db"))
+    if (false)

# Removing a file of the Snapshot folder forgets the backup's own copy.
row fake-snapshot-remove device/fakebackup2toolhook.cpp tests_device
-    if (!path.contains("snapshot", Qt::CaseInsensitive) && name.size() >= 3)
+    if (name.size() >= 3)

# The index's rows since the last ten thousand are lost when the hook ends.
row dname-commit-at-end device/fakednamedb.cpp tests_device
-        commitTran();
-    } catch (const std::exception&) {
-    }
-}
-
-bool FakeDNameDb::open
+    } catch (const std::exception&) {
+    }
+}
+
+bool FakeDNameDb::open

# A 32-character file id gets no two-character folder.
row dname-prefix-length device/fakednamedb.cpp tests_device
-                         .addTextParam(f.size() >= 32 ? f.left(2) : QString())
+                         .addTextParam(f.size() > 32 ? f.left(2) : QString())

# A UDID with "/" or "." becomes a folder name.
row udid-characters device/idevice.cpp tests_device
-        if (!(c.isDigit() && c.unicode() < 128) && !(c >= 'a' && c <= 'f') && !(c >= 'A' && c <= 'F') && c != '-')
+        if (c == QLatin1Char('/'))

# A UDID of any length names a folder.
row udid-length device/idevice.cpp tests_device
-    if (udid.isEmpty() || udid.size() > 64)
+    if (udid.isEmpty())

# A device reached over the network is used.
row idevice-usb-only device/idevice.cpp tests_device
-    return idevice_new_with_options(&m_device, udid.constData(), IDEVICE_LOOKUP_USBMUX);
+    return idevice_new_with_options(&m_device, udid.constData(), idevice_options(IDEVICE_LOOKUP_USBMUX | IDEVICE_LOOKUP_NETWORK));

# Any device answers for a UDID that is not connected.
row idevice-udid-given device/idevice.cpp tests_device
-    return idevice_new_with_options(&m_device, udid.constData(), IDEVICE_LOOKUP_USBMUX);
+    return idevice_new_with_options(&m_device, nullptr, IDEVICE_LOOKUP_USBMUX);

# A phone that declined the pairing is taken to trust the computer.
row pair-declined-success device/mobiledevice.cpp tests_device
-    } else if (lockdownd_pair(device.client(), nullptr) == 0) {
+    } else if (lockdownd_pair(device.client(), nullptr) == 0 || true) {

# Network devices are signalled as plugged in.
row events-usb-only device/mobiledevice.cpp tests_device
-    if (!event || !user || !event->udid || event->conn_type != CONNECTION_USBMUXD)
+    if (!event || !user || !event->udid)

# A device with a hostile UDID is signalled as plugged in.
row events-udid-checked device/mobiledevice.cpp tests_device
-    if (!isValidUdid(udid))
-        return;
-    auto* self
+    auto* self

# A cache folder that could not be made is handed out as usable.
row cachedir-failed-mkpath device/iosdevice.cpp tests_device
-        if (!made)
-            dir.setPath(QStringLiteral("/dev/null/ios_cache"));
+        ;

# Encrypted backups are not warned about.
row settings-encrypt-warned device/iosdevice.cpp tests_device
-    if (checkEncrypt && settings.get("WillEncrypt").CFNumberBool(false)) {
+    if (false) {

# A file read that broke off is reported as a complete copy.
row afc-short-read device/mobiledevice_afc.cpp tests_device
-            return n == 0 && closed;
+            return true;

# A device write that moved fewer bytes is not seen.
row afc-short-write device/mobiledevice_afc.cpp tests_device
-        if (n < 0 || file.write(buffer.constData(), int(n)) != n)
+        if (n < 0 || file.write(buffer.constData(), int(n)) < 0)

# "." and ".." come back from a listing meant to leave them out.
row afc-skip-dots device/mobiledevice_afc.cpp tests_device
-        if (!skipDots || (name != "." && name != ".."))
+        if (true)

# A device file that ends before its size is kept as downloaded.
row download-short device/iosafcfiledownload.cpp tests_device
-        if (n < 0 || (n == 0 && total < info.size)) // a read error, or a file cut short
+        if (n < 0) // a read error, or a file cut short

# A cancel is not looked at during a download.
row download-cancel device/iosafcfiledownload.cpp tests_device
-    for (qint64 total = 0; !m_form.cancelled;) {
+    for (qint64 total = 0;;) {

# A local copy cut short is taken as current because the device date matches.
row download-cache-local-size device/iosafcfiledownload.cpp tests_device
-        && local.size() == info.size)
+        )

# A device name ".." makes a folder download climb out of its target.
row download-dir-dots device/iosafcfiledownload.cpp tests_device
-    return name == QLatin1String(".") || name == QLatin1String("..") ? QString() : name;
+    return name;

# A device that lists folders without end is followed without end.
row download-depth device/iosafcfiledownload.cpp tests_device
-    if (depth > kMaxDepth)
+    if (false)

# The date cache matches device paths as patterns ("_" and "%").
row bkcache-exact-match device/bkcachedb.cpp tests_device
-            Sqlite3Sql("select last_date from manifest where file_name=?").addTextParam(deviceName));
+            Sqlite3Sql("select last_date from manifest where file_name like ?").addTextParam(deviceName));

# An upload that failed half-way leaves the cut file on the device.
row upload-cut-removed device/iosafcfiledownload.cpp tests_device
-    afc.delLeftover(temp);

# An upload without overwrite replaces the device's file.
row upload-no-overwrite device/iosafcfiledownload.cpp tests_device
-    if (!overwrite) {
+    if (false) {

# A mobilesync session the phone refused is taken as started.
row sync-start-refused device/mobiledevice_sync.cpp tests_device
-    if (code == MOBILESYNC_E_SUCCESS)
-        return;
-    client.release();
+    return;
+    client.release();

# The last batch of records is not seen as the last.
row sync-last-batch device/mobiledevice_sync.cpp tests_device
-    return !last;
+    return true;

# A failed remapping of new records passes for success.
row sync-remap-checked device/mobiledevice_sync.cpp tests_device
-    check(code, "mobilesync_remap_identifiers failed. return %1.");
+    ;

# A response longer than allowed is read into memory.
row pipe-length-limit device/mobiledevice_pipe.cpp tests_device
-    if (length > quint32(PlistCFType::kMaxBytes)) {
+    if (false) {

# A response cut in its middle leaves the rest to be read as a new message.
row pipe-cut-body device/mobiledevice_pipe.cpp tests_device
-        breakWith(QStringLiteral("a response was cut off in its middle"));
+        ;

# The pipe's time-out is not kept.
row pipe-timeout device/mobiledevice_pipe.cpp tests_device
-        const int r = ::poll(&p, 1, left);
+        const int r = ::poll(&p, 1, -1);

# A copy of the iTunes folder that failed is marked as done.
row uwp-copy-failure device/copyuwpitunesthread.cpp tests_device
-        if (copyFiles(QFileInfo(m_source), copyRoot(), error)) {
+        if (copyFiles(QFileInfo(m_source), copyRoot(), error) || true) {

# A photo's thumbnail is looked for under a folder of the wrong two digits.
row asset-thumb-folder device/iosassetdb.cpp tests_device
-        .arg(QStringLiteral("%1").arg(secs % 100, 2, 10, QLatin1Char('0')), folder.captured(1), fileName,
+        .arg(QStringLiteral("%1").arg(secs % 10, 2, 10, QLatin1Char('0')), folder.captured(1), fileName,

# The photo library is fetched again for every look-up.
row asset-fetch-once device/iosassetreader.cpp tests_device
-    if (m_fetched)
-        return;
+    if (false)
+        return;

# The photo library's companion files are left behind, so new photos are missed.
row asset-wal-fetched device/iosassetreader.cpp tests_device
-const char* const kDbFiles[] = {"Photos.sqlite", "Photos.sqlite-shm", "Photos.sqlite-wal"};
+const char* const kDbFiles[] = {"Photos.sqlite"};

# A failed commit leaves the second name of a file it had not replaced yet.
row staged-aside-left backup/stagedfiles.cpp tests_backup
-            if (same ? ::unlink(native(e.aside).constData()) != 0
+            if (same ? false

# A data file that no record owns is kept, and the new record describes it.
row merge-orphan-kept backup/iosmergewafiles2itunesbkthread.cpp tests_backup
-            if (!e.overwrite && (!data.isEmpty() || (onDiskNow && map.files.contains(id))))
+            if (!e.overwrite && (!data.isEmpty() || onDiskNow))

# A phone that hangs up before its snapshot is finished leaves a backup reported as made.
row backup-unfinished-success device/iosmobilebackupthread.cpp tests_device
-        if (!cancelled() && (!engine->verdictOk() || !snapshotFinished(QDir(folder))))
+        if (false)

# A kept message's attachment values (a video's size, a file's name and with
# it its media suffix) are not read back from the local database.
row localdb-atta-unread chatdata/linelocaldb.cpp tests_chatdata
-            m.atta = TinyKVSerializer::unser(atta);
+            m.atta.clear();

# A user's custom name loses to the name the server gives.
row shown-name-order chatdata/linerecords.cpp tests_chatdata
-    if (!customName.isEmpty())
-        return customName;
-    if (!serverName.isEmpty())
-        return serverName;
+    if (!serverName.isEmpty())
+        return serverName;
+    if (!customName.isEmpty())
+        return customName;

# A group chat's title leaves out its members when they are asked for.
row chat-title-members chatdata/linerecords.cpp tests_chatdata
-        return group->display(withMembers);
+        return group->display(false);

# The throwing reader of a listed source reads one past its last message.
row listed-source-past-end chatdata/linemsgssource.cpp tests_chatdata
-    if (i < 0 || i >= msgs.size())
+    if (i < 0 || i > msgs.size())

# Messages without a chat are split out as a chat of their own.
row listed-source-chatless chatdata/linemsgssource.cpp tests_chatdata
-        if (!m.chat)
-            continue;
+        if (false)
+            continue;

# A data record of one byte from the phone is counted but not written.
row files-single-byte-dropped device/backup2tool_files.cpp tests_device
-                if (n > 0)
+                if (n > 1)

# An AFC copy that cannot be put in place reads as made, and its date is cached.
row download-commit-ignored device/iosafcfiledownload.cpp tests_device
-            if (!out.commit(&error))
-                fail(QStringLiteral("write file %1 failed. %2").arg(localPath, error));
+            out.commit(&error);

# An AFC copy whose local write fails goes on as if written.
row download-write-error-dropped device/iosafcfiledownload.cpp tests_device
-        if (out.file().write(m_buffer.constData(), n) != n)
-            fail(QStringLiteral("write file %1 failed. %2").arg(localPath, out.file().errorString()));
+        out.file().write(m_buffer.constData(), n);

# The default hook answers a folder request without making the folder.
row hook-mkdir-not-made device/backup2toolhook.cpp tests_device
-    return makeFolders(local, &error) ? 0 : int(QFileDevice::OpenError);
+    return 0;

# The default hook makes a requested folder only when something is there already.
row hook-mkdir-missing-inverted device/backup2toolhook.cpp tests_device
-    if (kind == Kind::Folder)
-        return 0;
+    if (kind != Kind::Folder)
+        return 0;

# The load keeps an empty earlier copy in its cache (a copy cut short).
row load-empty-copy-kept device/iosloadlinefromitunesthread.cpp tests_device
-    if (!force && QFileInfo(target).size() > 0)
+    if (!force && QFileInfo(target).exists())

# A Manifest.mbdb whose last field lies just past a read chunk is refused as cut short.
row mbdb-fill-exact backup/mbdbreader.cpp tests_backup
-        while (m_buf.size() < n) {
+        while (m_buf.size() <= n) {

# A domain or path holding a NUL is hashed whole instead of up to the NUL.
row mbdb-nul-name-id backup/mbdbparser.cpp tests_backup
-    auto plain = [](const QByteArray& b) { return !b.contains('\0') && QByteArrayView(b).isValidUtf8(); };
+    auto plain = [](const QByteArray& b) { return QByteArrayView(b).isValidUtf8(); };

# A decoded batch of Manifest.db rows is decoded again with the next one.
row manifestdb-batch-kept backup/manifestdbreader.cpp tests_backup
-        batch.clear();
-    };
+    };

# An encrypted file copied without a progress callback is handed out as ciphertext.
row copy-item-plain-without-callback backup/backupmanifest_copy.cpp tests_backup
-    if (!key.isEmpty()) {
-        decryptThrow(key, source, outPath, 0600, false);
+    if (!key.isEmpty() && callback) {
+        decryptThrow(key, source, outPath, 0600, false);

# PNG pictures of the camera roll are left out of the photo index.
row tree-png-photos backup/backupmanifest_tree.cpp tests_backup
-            else if (ext == QLatin1String(".jpg") || ext == QLatin1String(".png"))
+            else if (ext == QLatin1String(".jpg"))

# The language saved in the data folder is not read back at the next start.
row translocale-saved-ignored foundation/translocale.cpp tests_foundation
-            name = QString::fromUtf8(file.readAll());
+            name = QLocale::system().name();

# A window keeps following the pointer after the button is released.
row drag-release-ignored foundation/winmovable.cpp tests_foundation
-    case QEvent::MouseButtonRelease:
-        m_dragging = false;
-        break;
+    case QEvent::MouseButtonRelease:
+        break;

# A right-button drag moves the window.
row drag-any-button foundation/winmovable.cpp tests_foundation
-        m_dragging = me->button() == Qt::LeftButton;
+        m_dragging = true;

# The tree and list views keep their selection changes to themselves.
row views-selection-not-passed foundation/mytreeview.h tests_foundation
-        emit static_cast<View*>(this)->onSelectionChanged(selected, deselected);
+        ;

# An interrupted statement ends as if it had no more rows.
row step-interrupt-quiet foundation/sqlite3cursor.cpp tests_foundation
-    if (rc == SQLITE_DONE)
+    if (rc == SQLITE_DONE || rc == SQLITE_INTERRUPT)

# An error text of an earlier call is left after a later success.
row exec-error-kept foundation/sqlite3db.cpp tests_foundation
-    error.clear();
-    if (!m_db) {
+    if (!m_db) {

# A dictionary key node reads as no text.
row plist-key-not-text foundation/plistcftype.cpp tests_foundation
-    if (t == PLIST_KEY) {
+    if (false) {

# An empty date-cache file never gets its table: every look-up misses for good.
row bkcache-schema-existing device/bkcachedb.cpp tests_device
-        const QString error = applySchema();
+        const QString error;

# An upload with overwrite writes into the phone's file itself: a drop leaves it cut.
row upload-in-place device/iosafcfiledownload.cpp tests_device
-        if (afc.fileInfo(temp).isValid())
-            temp.clear();
+        temp = devicePath;

# A rename of the uploaded file over the old one that fails is not reported.
row upload-rename-unchecked device/iosafcfiledownload.cpp tests_device
-    if (error.isEmpty() && !afc.rename(temp, devicePath))
+    if (error.isEmpty() && !afc.rename(temp, devicePath) && false)

# Two phone names that clean to one local name land on one file.
row download-names-collide device/iosafcfiledownload.cpp tests_device
-        name = candidate;

# A renamed name may take the name another file keeps as it is.
row download-clean-name-first device/iosafcfiledownload.cpp tests_device
-        for (int n = 2; taken.contains(candidate.toCaseFolded()) || given.contains(candidate.toCaseFolded()); ++n)
+        for (int n = 2; given.contains(candidate.toCaseFolded()); ++n)

# A '%' in a device name is read as a marker of the renamed name.
row download-name-markers device/iosafcfiledownload.cpp tests_device
-            candidate = QStringLiteral("%1 (%2)%3").arg(stem, QString::number(n), ext);
+            candidate = QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(ext);

# A link planted as a folder of the download's target is written through.
row download-folder-link device/iosafcfiledownload.cpp tests_device
-        if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
+        if (::lstat(native.constData(), &st) != 0)

# The folders below a download's target are not checked at all.
row download-folders-unchecked device/iosafcfiledownload.cpp tests_device
-        if (!made)
-            makeRealFolders(root, folder);

# The phone's folder messages are answered without making the folder.
row mb2-mkdir-skipped device/backup2tool_files.cpp tests_device
-                                                      : m_hook->mkdir(m_root, path, error);
+                                                      : 0;

# A move the computer failed is answered as done: the phone ends with a backup it thinks whole.
row mb2-move-status-ignored device/backup2tool_files.cpp tests_device
-    if (const int r = sendStatus(client, statusCode(rc), error, emptyDict()))
-        throw failure(QString("backup2tool::moveFilesThrow: Could not send status response, error %1.").arg(r));
+    if (const int r = sendStatus(client, 0, error, emptyDict()))
+        throw failure(QString("backup2tool::moveFilesThrow: Could not send status response, error %1.").arg(r));

# File records sent to the phone are one byte short of the protocol's size.
row mb2-record-size device/backup2tool_p.h tests_device
-constexpr quint32 kChunk = 32768;
+constexpr quint32 kChunk = 32767;

# A replaced file is encrypted with another record's key: a crash before the list is renamed leaves it undecryptable.
row merge-other-records-key backup/iosmergewafiles2itunesbkthread.cpp tests_backup
-            const Copy copy{e.localFile, data, own.key.isEmpty() ? (e.class4 ? key4 : key3).key : own.key, QString()};
+            const Copy copy{e.localFile, data, (e.class4 ? key4 : key3).key, QString()};

# A replaced file's record takes the class asked for instead of its own key's.
row merge-own-class-dropped backup/mbdbwriter.cpp tests_backup
-        r->protectionClass = qint8(key->protectionClass > 0 ? key->protectionClass : class4 ? 4 : 3);
+        r->protectionClass = qint8(class4 ? 4 : 3);

# Staged and set-aside files of an interrupted merge stay for good.
row merge-leftovers-kept backup/backuplock.cpp tests_backup
-    StagedFiles::settleThrow(folder);
-    removeLeftoversThrow(folder);
+    removeLeftoversThrow(folder);

# An interrupted commit whose list has not moved is finished instead of undone: new data under the old list.
row tidy-puts-back-over-target backup/stagedfiles.cpp tests_backup
-    const bool moved = !list.isEmpty() && !kindAt(list);
+    const bool moved = !list.isEmpty();

# Without hard links the old bytes are not kept aside: a failed commit cannot be undone.
row commit-no-copy-without-links backup/stagedfiles.cpp tests_backup
-                if ((code = copyAside(e.target, e.aside)) != 0)
+                if ((code = 0) != 0)

# Without hard links the old file is moved aside: a crash leaves a record without its data file.
row commit-moves-aside-without-links backup/stagedfiles.cpp tests_backup
-            if (kind == S_IFREG && !e.removal) {
+            if (false) {

# The journal is renamed into place but its folder is not synced: a power loss may lose it after the first rename.
row journal-not-synced backup/mergejournal.cpp tests_backup
-        throw failure(why.isEmpty() ? out.file().errorString() : why);
-    syncFolderThrow(folder);
+        throw failure(why.isEmpty() ? out.file().errorString() : why);

# The commit does not record what it places and sets aside: a crash cannot be undone.
row commit-not-journaled backup/stagedfiles.cpp tests_backup
-    journalThrow(true);
-    qsizetype i = 0;
+    qsizetype i = 0;

# Opening a backup reads it without settling an interrupted merge: new data files under the old list.
row open-without-settling backup/backuplock.cpp tests_backup
-        if (MergeJournal::exists(folder)) {
-            try {
+        if (false) {
+            try {

# Two merges into one backup run at once: one's records are lost.
row merge-without-lock backup/iosmergewafiles2itunesbkthread.cpp tests_backup
-    const auto lock = manifest.lockForWritingThrow(BackupLock::workerWaitMs, BackupLock::shownIn(progress, status));
+    StagedFiles::settleThrow(folder);

# A waiter takes the lock on a lock file its holder has just removed: two holders at once.
row lock-on-removed-file backup/backuplock.cpp tests_backup
-            if (sameFile(fd, path)) {
+            if (true) {

# Settling a staged merge removes files that merely look like its own.
row settle-by-look backup/stagedfiles.cpp tests_backup
-            if (path != keep && own.match(name).hasMatch() && (kindAt(path) == S_IFREG || kindAt(path) == S_IFLNK)) {
+            if (path != keep && (kindAt(path) == S_IFREG || kindAt(path) == S_IFLNK)) {

# A list whose rows live in its log is read in place: rows lost and side files made in the backup.
row list-log-read-in-place backup/manifestdbreader.cpp tests_backup
-    if (!takeLog || mbdbdetail::hasLog(path)) {
+    if (!takeLog) {

# A log is left beside the written list, laid over it at the next open.
row list-log-left-beside backup/mbdbwriter.cpp tests_backup
-            staged.stageRemovalThrow(path);
+            ;

# The trimmed list is made from the list file without its log.
row trim-without-log backup/backupmanifest_trim.cpp tests_backup
-        mbdbdetail::copyListThrow(source, work, encrypted ? 0600 : 0644, !encrypted);
+        mbdbdetail::copyListThrow(source, work, encrypted ? 0600 : 0644, false);

# New records of a list whose inodes use their high half all get one number.
row inode-high-half-shared backup/mbdbwriter.cpp tests_backup
-        map.topInode = qMax(map.topInode, qint64(++map.maxInodeNumber));
-        return map.maxInodeNumber;
+        return map.topInode = qMax(map.topInode, qint64(++map.maxInodeNumber));

# The last inode number overflows instead of failing the merge.
row inode-overflow backup/mbdbwriter.cpp tests_backup
-    if (map.topInode == std::numeric_limits<qint64>::max())
+    if (false)

# A full disk during a copy is reported as an unknown error.
row short-write-unknown-error backup/backupmanifest_copy.cpp tests_backup
-        if (!mbdbdetail::writeAll(out.file(), buffer.get(), n))
+        if (out.file().write(buffer.get(), n) != n)

# A full disk during encryption is reported as an unknown error.
row cipher-short-write-unknown-error backup/qopensslevpaes.cpp tests_backup
-        if (done <= 0)
+        if (done != n)

# The load's temporary cache is the shared, predictable name another user can plant.
row load-private-cache device/iosloadlinefromitunesthread.cpp tests_device
-            makePrivateCacheThrow();
+            cacheDir = QDir(QDir::temp().filePath(QStringLiteral("marrowquist-itunes_cache/") + manifest->dirPathMd5()));

# A decrypted copy is readable by every user.
row copy-out-private backup/backupmanifest_copy.cpp tests_device
-        decryptThrow(key, source, outPath, 0600, false);
+        decryptThrow(key, source, outPath, 0644, false);

# A data folder of the backup that is a link leads the copy outside.
row copy-out-linked-folder backup/backupmanifest_copy.cpp tests_device
-    if (!source.startsWith(root + QLatin1Char('/')) || !safefile::noLinkBelow(root, source.mid(root.size() + 1)))
+    if (!source.startsWith(root + QLatin1Char('/')))

# A name the encoding makes longer than a file system takes is used as it is.
row name-fit foundation/pathutil.cpp tests_foundation,tests_device
-    if (utf8.size() <= kMaxNameBytes)
+    if (true)

# A shortened name is cut inside an escape.
row name-fit-escape foundation/pathutil.cpp tests_foundation
-    if (percent >= 0 && percent >= head.size() - 2)
+    if (percent >= 0 && percent >= head.size() - 1)

# The temporary name beside a long target is too long to be made.
row atomicfile-long-name foundation/pathutil.cpp tests_foundation,tests_device
-    const qsizetype room = kMaxNameBytes - suffix.toUtf8().size();
+    const qsizetype room = kMaxNameBytes;

# A temporary name's start is cut by characters, not bytes: beside a long name of non-ASCII letters it is too long.
row name-start-bytes foundation/pathutil.cpp tests_device
-    while (!head.isEmpty() && head.toUtf8().size() > room)
+    while (false)

# The temporary name of an upload beside a long phone name is too long for the phone.
row upload-long-temp device/iosafcfiledownload.cpp tests_device
-        temp = place + pathutil::fitNameStart(name, suffix) + suffix;
+        temp = place + name + suffix;

# A temporary file whose opening answer was lost stays on the phone.
row upload-open-lost-removed device/iosafcfiledownload.cpp tests_device
-        error = QStringLiteral("IOSAfcFileDownload::uploadFileThrow, can not create %1.").arg(devicePath);
+        fail(QStringLiteral("IOSAfcFileDownload::uploadFileThrow, can not create %1.").arg(devicePath));

# What a cut upload left is not removed over a new connection when the old one broke off.
row afc-leftover-reconnect device/mobiledevice_afc.cpp tests_device
-    if (code == AFC_E_MUX_ERROR || code == AFC_E_NOT_ENOUGH_DATA || code == AFC_E_OP_HEADER_INVALID) {
+    if (false) {

# A LINE file attachment is looked for under a name the load never gives it.
row iosline-file-name-whole chatdata/ioslinedb_messages.cpp tests_device
-                folder + pathutil::encodeFileName(msg.uid + QLatin1Char('_') + utf8mac_to(fileName));
+                attaBase() + QLatin1Char('_') + pathutil::encodeFileName(utf8mac_to(fileName));

# A long file suffix gives a kept file a name no file system takes.
row localdb-long-suffix chatdata/linelocaldb.cpp tests_chatdata
-                                           + pathutil::fitFileName(msgPart + QLatin1Char('.')
+                                           + (msgPart + QLatin1Char('.')

# A damaged page's row without an id is read as a message.
row iosline-row-without-id chatdata/ioslinedb_messages.cpp tests_chatdata
-        if (idBytes.isEmpty() || idBytes.contains('\0') || !QByteArrayView(idBytes).isValidUtf8())
+        if (false)

# Media that is there but cannot be read is skipped as missing.
row media-unreadable chatdata/backuplinemessagesthread.cpp tests_chatdata
-        if (from.isEmpty() || code == ENOENT || code == ENOTDIR || code == EINVAL)
+        if (true)

# An XML list with millions of keys in one dictionary is parsed (quadratic time).
row plist-xml-dict-keys foundation/plistcftype_parse.cpp tests_foundation
-            || elements > maxNodes || widestDict > plistdetail::kMaxXmlDictKeys)
+            || elements > maxNodes)

# The run's start clears a cancel confirmed before it: the backup runs behind a closed window.
row engine-cancel-cleared device/backup2tool.cpp tests_device
-    m_verdictOk = false;
+    m_verdictOk = false;
+    m_cancelFlag = false;

# A verdict whose code is not zero in every bit counts as made.
row engine-verdict-low-bits device/backup2tool.cpp tests_device
-        tool.m_verdictOk = code.isCFNumber() && code.CFNumberDouble(1) == 0 && code.CFNumberInt64(1) == 0;
+        tool.m_verdictOk = code.CFNumberInt(0) == 0;

# A restore the phone ended without its verdict is reported as made.
row restore-no-verdict device/iosmobilerestorethread.cpp tests_device
-        if (!cancelled() && !engine->verdictOk())
+        if (false)

# An absurd progress number from the phone reaches an int conversion.
row engine-progress-unclamped device/backup2tool.cpp tests_device
-            if (p > 0 && std::isfinite(p))
-                m_progress = std::min(p, 100.0);
+            if (p > 0)
+                m_progress = p;

# The thread converts any percentage to int as it comes.
row thread-percent-unclamped device/iosmobilebackupthread.cpp tests_device
-    return int(std::clamp(percent, 0.0, 100.0));
+    return int(percent);

# The phone's error text reaches the error box as markup.
row engine-phone-text-markup device/backup2tool_files.cpp tests_device
-    out.replace('&', QLatin1String("&amp;")).replace('<', QLatin1String("&lt;")).replace('>', QLatin1String("&gt;"));
+    (void)out;

# The phone's status text reaches the window's labels as markup.
row thread-label-markup device/iosmobilebackupthread.cpp tests_device
-    return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal) : text;
+    return text;

# A message from the phone goes to libplist's recursive parser unchecked.
row engine-message-recursive-parse device/backup2tool.cpp tests_device
-    PlistCFType msg = PlistCFType::createCFPropertyList(bytes);
+    plist_t raw = nullptr;
+    if (bytes.startsWith("bplist00"))
+        plist_from_bin(bytes.constData(), uint32_t(bytes.size()), &raw);
+    else
+        plist_from_xml(bytes.constData(), uint32_t(bytes.size()), &raw);
+    PlistCFType msg(raw, true);

# A merge whose first class keys do not unwrap never reads the whole list for another.
row merge-key-fallback backup/iosmergewafiles2itunesbkthread.cpp tests_backup
-                    if (!part)
+                    if (part)

# The folders of a merged file are read for their keys only and written back cut.
row merge-touched-folders backup/iosmergewafiles2itunesbkthread.cpp tests_backup
-             path.truncate(qMax<qsizetype>(0, path.lastIndexOf(QLatin1Char('/')))))
+             path.clear())

# A Manifest.mbdb merge writes back only the records it changed: the rest are lost.
row merge-mbdb-whole backup/iosmergewafiles2itunesbkthread.cpp tests_backup
-        if (whole || r.added || r.modified || r.deleted)
+        if (r.added || r.modified || r.deleted)

# The records with the highest inode numbers are dropped when rows are read for keys only.
row rows-top-inode backup/manifestdbreader.cpp tests_backup
-    for (Row* top : {&topWhole, &topLow})
+    for (Row* top : std::initializer_list<Row*>{})

# A row's data values are taken for dictionaries when read in place.
row rows-nsdata backup/manifestdbreader.cpp tests_backup
-        if (v.type == P::Data)
+        if (v.type == P::Dict)

# A UTF-16 link target is read in place as bytes instead of converted.
row rows-utf16-target backup/manifestdbreader.cpp tests_backup
-            if (v.type == P::Unicode || (v.type == P::Ascii && memchr(v.body, 0, size_t(v.count))))
+            if (v.type == P::Ascii && memchr(v.body, 0, size_t(v.count)))

# The group id read in place is the user id.
row rows-field-swap backup/manifestdbreader.cpp tests_backup
-    item.groupId = quint32(numbers[Group]);
+    item.groupId = quint32(numbers[User]);

# A file with a second hard link in the device folder is sent to the phone.
row hook-hardlink-sent device/backup2tool_files.cpp tests_device
-    if (local.isEmpty() || !safefile::isSoleRegularFile(local)) {
+    if (local.isEmpty() || !safefile::isRegularFile(local)) {

# A file with a second hard link is copied like any file.
row hook-hardlink-copied device/backup2toolhook.cpp tests_device
-        return st.st_nlink == 1 ? Kind::File : Kind::Other;
+        return Kind::File;

# An upload whose bytes did not all arrive is put in place.
row hook-upload-short-kept device/backup2toolhook.cpp tests_device
-        && quint64(file.pos()) == size;
+        ;

# An upload writes through the target's existing inode.
row hook-upload-writes-through device/backup2toolhook.cpp tests_device
-    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
+    const int fd = ::open(QFile::encodeName(local).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);

# The folders below a removed or moved folder stay remembered as checked.
row hook-folders-below-kept device/backup2toolhook.cpp tests_device
-        if (*it == rel || it->startsWith(below))
+        if (*it == rel)

# A late answer after a time-out is handed to the next request.
row pipe-late-answer device/mobiledevice_pipe.cpp tests_device
-        breakWith(QStringLiteral("no response arrived within %1 ms").arg(m_timeoutMs));
+        ;

# A child that doles out its answer a byte at a time stretches the time-out without end.
row pipe-timeout-per-wait device/mobiledevice_pipe.cpp tests_device
-        const int left = int(qMin<qint64>(until.remainingTime(), INT_MAX)); // -1: no limit
+        const int left = m_timeoutMs > 0 ? m_timeoutMs : -1;

# A file the phone broke off in its middle leaves its part file in the backup.
row hook-part-file-left device/backup2toolhook.cpp tests_device
-        ::unlink(QFile::encodeName(m_incoming.temp).constData());
+        ;

# A message id of NUL bytes from a damaged page is read as a message.
row iosline-id-nul chatdata/ioslinedb_messages.cpp tests_chatdata
-        if (idBytes.isEmpty() || idBytes.contains('\0') || !QByteArrayView(idBytes).isValidUtf8())
+        if (idBytes.isEmpty() || !QByteArrayView(idBytes).isValidUtf8())

# A message id that is no UTF-8 is read as a message.
row iosline-id-utf8 chatdata/ioslinedb_messages.cpp tests_chatdata
-        if (idBytes.isEmpty() || idBytes.contains('\0') || !QByteArrayView(idBytes).isValidUtf8())
+        if (idBytes.isEmpty() || idBytes.contains('\0'))

# The in-place reader keeps a link target past its NUL, where the full reader ends it.
row rows-nul-target backup/manifestdbreader.cpp tests_backup
-            if (v.type == P::Unicode || (v.type == P::Ascii && memchr(v.body, 0, size_t(v.count))))
+            if (v.type == P::Unicode)

# A log or journal found beside the decrypted list is left there and laid over it.
row decrypted-list-side-files backup/backupmanifest.cpp tests_backup
-    for (const char* side : {"-wal", "-shm", "-journal"}) {
+    for (const char* side : {"-shm"}) {

# A log planted beside the decrypted list once it is unlocked is read with it.
row decrypted-list-log-read backup/manifestdbreader.cpp tests_backup
-        readManifestDb(path, backup.passcode.toUtf8(), map, whole, backup.manifestKey.isEmpty());
+        readManifestDb(path, backup.passcode.toUtf8(), map, whole, true);

# ... or trimmed with it into the list a restore sends.
row decrypted-list-log-trim backup/backupmanifest_trim.cpp tests_backup
-        mbdbdetail::copyListThrow(source, work, encrypted ? 0600 : 0644, !encrypted);
+        mbdbdetail::copyListThrow(source, work, encrypted ? 0600 : 0644);

# The next page of all chats resumes after the page of one chat read before it.
row ios-page-resume-other-chat chatdata/ioslinedb_messages.cpp tests_chatdata
-pc.valid && pc.allChats == (chat == nullptr) &&
+pc.valid &&

# A user written by the first call on an unopened store gets the usual entity number, not the store's.
row restore-user-opens-first chatdata/ioslinedb_restore.cpp tests_chatdata
-    openCheckThrow();
-    MessageIds::Guard kept(*this, messageIds());
-    if (!user)
+    MessageIds::Guard kept(*this, messageIds());
+    if (!user)

# A group's members written by the first call on an unopened store are lost.
row restore-group-members-opens-first chatdata/ioslinedb_restore.cpp tests_chatdata
-    openCheckThrow();
-    MessageIds::Guard kept(*this, messageIds());
-    if (group && groupPk != 0 && keepsOwnGroups(*this))
+    MessageIds::Guard kept(*this, messageIds());
+    if (group && groupPk != 0 && keepsOwnGroups(*this))

# The smallest binary lists (one one-byte object) are refused as too short.
row plist-smallest-list foundation/plistcftype_parse.cpp tests_foundation
-        if (size < 8 + 1 + 1 + 32 || std::memcmp(data, "bplist", 6) != 0)
+        if (size <= 8 + 1 + 1 + 32 || std::memcmp(data, "bplist", 6) != 0)

# A folder is copied into a folder inside itself, level after level.
row copy-into-itself foundation/pathutil.cpp tests_foundation
-    if (source.isDir() && !source.isSymLink() && isSameOrBelow(target.absolutePath(), source.absoluteFilePath())) {
+    if (false) {

# A folder the computer could not make is answered to the phone as made.
row engine-mkdir-error-unanswered device/backup2tool_files.cpp tests_device
-    if (const int r = sendStatus(client, statusCode(rc), error, PlistCFType()))
+    if (const int r = sendStatus(client, 0, QString(), PlistCFType()))

# A file standing where a folder is asked for is not told apart.
row hook-mkdir-file-in-the-way device/backup2toolhook.cpp tests_device
-    if (kind != Kind::Missing) {
+    if (false) {

# A file where a folder belongs on a path is not named as what is in the way.
row hook-file-where-folder-named device/backup2toolhook.cpp tests_device
-        } else if (!S_ISDIR(st.st_mode)) {
+        } else if (false) {

# An upload that breaks off deletes the file an earlier backup left at its path.
row files-discard-removes-target device/backup2tool_files.cpp tests_device
-            m_hook->recvFileAbort(m_root, path);
+            QFile::remove(local);

# An upload that breaks off leaves its part file behind.
row hook-abort-keeps-part device/backup2toolhook.cpp tests_device
-    if (m_incoming.path == path)
-        dropIncoming();
+    (void)path;

# The opening takes any DeviceLink version the phone offers.
row engine-version-unchecked device/backup2tool.cpp tests_device
-    if (version(1) > major || (version(1) == major && version(2) > 0))
+    if (false)

# The phone's refusal of Hello is taken for a yes.
row engine-hello-refusal-ignored device/backup2tool.cpp tests_device
-    if (code.CFNumberInt64() != 0)
+    if (false)

# A put-back that fails while a commit or a settling is undone goes untold: the journal and the old file's name are dropped.
row undo-put-back-error-ignored backup/stagedfiles.cpp tests_backup
-                     : ::rename(native(e.aside).constData(), native(e.target).constData()) != 0)
-                throw failure(QStringLiteral("cannot put back"), e.target, errno);
+                     : ::rename(native(e.aside).constData(), native(e.target).constData()) != 0)
+                ;

# A put-back that fails removes the set-aside old file: the old content is lost.
row undo-failed-aside-removed backup/stagedfiles.cpp tests_backup
-                throw failure(QStringLiteral("cannot put back"), e.target, errno);
+                throw(::unlink(native(e.aside).constData()), failure(QStringLiteral("cannot put back"), e.target, errno));

# A staged file that cannot be opened or synced is committed anyway: a link, or bytes not on the disk, in place.
row commit-staged-sync-ignored backup/stagedfiles.cpp tests_backup
-        if (code) {
-            discard();
+        if (false) {
+            discard();

# The settling of a merge cut off while staging leaves its staged files for good.
row settle-staging-kept backup/stagedfiles.cpp tests_backup
-    removeOwnThrow(top.absolutePath(), journal.commit, list);
+    if (journal.committing)
+        removeOwnThrow(top.absolutePath(), journal.commit, list);

# The open settles only a merge cut off in its commit: the staged files and journal of one cut off while staging stay.
row open-staging-kept backup/backuplock.cpp tests_backup
-                const BackupLock alone(folder, Exclusive, waitMs, waiting);
-                StagedFiles::settleThrow(folder);
+                const BackupLock alone(folder, Exclusive, waitMs, waiting);
+                MergeJournal::Contents journal;
+                if (MergeJournal::readThrow(folder, &journal) && journal.committing)
+                    StagedFiles::settleThrow(folder);

# The tests' crash hook never stops anything: the crash tests pass as plain merges.
row crash-hook-never-fires backup/stagedfiles.cpp tests_backup
-    if (stopAfterRenames >= 0 && stopAfterRenames-- == 0)
-        throw 0;
+    if (stopAfterRenames >= 0 && stopAfterRenames-- == 0)
+        return;

# A reader takes the backup's lock alone: two windows cannot both read it.
row lock-readers-alone backup/backuplock.cpp tests_backup
-        if (::flock(fd, (mode == Shared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0) {
+        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {

# A reader leaving removes the lock file under another reader: a writer then gets in beside it.
row lock-removed-under-reader backup/backuplock.cpp tests_backup
-    if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0 && sameFile(m_fd, path))
+    if (sameFile(m_fd, path))

# A cancel during the wait for the lock is not seen: the worker waits on.
row lock-wait-not-cancelled backup/backuplock.cpp tests_backup
-        if (waiting.cancelled && waiting.cancelled->load())
+        if (false)

# A writer leaves the partial files that a writer cut off left.
row writer-keeps-leftovers backup/backuplock.cpp tests_backup
-    removeLeftoversThrow(folder);
-    return lock;
+    return lock;

# The password step decrypts the list in the middle of another window's commit.
row unlock-without-lock backup/backupmanifest.cpp tests_backup
-        const auto lock = BackupLock::forWritingThrow(dir.absolutePath(), waitMs, waiting);
+        (void)waitMs, (void)waiting;

# The load copies while another window's merge commits.
row load-without-lock device/iosloadlinefromitunesthread.cpp tests_device
-        const auto lock = manifest->lockForReadingThrow(BackupLock::workerWaitMs, BackupLock::shownIn(progress, status));
+        (void)status;

# The load copies by a tree read before another window's merge.
row load-stale-tree device/iosloadlinefromitunesthread.cpp tests_device
-        manifest->refreshInfoThrow();
+        ;

# A device backup writes into a folder whose cut merge is not settled.
row device-backup-unsettled device/iosmobilebackupthread.cpp tests_device
-            lock = BackupLock::forWritingThrow(folder, BackupLock::workerWaitMs,
-                                               BackupLock::shownIn(*progress, status));
+            lock = std::make_unique<BackupLock>(folder);

# A restore sends a folder whose cut merge is not settled.
row restore-unsettled device/iosmobilerestorethread.cpp tests_device
-            lock = BackupLock::forReadingThrow(folder, BackupLock::workerWaitMs,
-                                               BackupLock::shownIn(*progress, status));
+            (void)status;

# A device backup into a kept folder leaves the uploads a crash cut off.
row device-backup-keeps-cut-uploads device/iosmobilebackupthread.cpp tests_device
-            Backup2ToolHook::removePartialUploads(folder);
+            ;

# Clearing the temporary backups deletes one that another window reads.
row clear-temp-under-reader backup/backuplock.cpp tests_device
-        const BackupLock alone(folder);
-        clearFolder(folder);
+        clearFolder(folder);

# A reader uses the decrypted list of an unlock after the phone's next backup replaced the list.
row unlock-stale-for-readers backup/backupmanifest.cpp tests_backup
-        if (manifestKey.isEmpty() || unlockStamp() == m_unlockStamp)
+        if (true)

# A writer builds on the decrypted list and key of an unlock after the phone's next backup replaced them.
row unlock-stale-for-writers backup/backupmanifest.cpp tests_backup
-    if (!manifestKey.isEmpty() && unlockStamp() != m_unlockStamp) {
+    if (false) {

# A new keybag is not noticed: the old class keys are tried on it.
row unlock-new-keybag-unseen backup/backupmanifest.cpp tests_backup
-        || plist.get(QStringLiteral("BackupKeyBag")).CFDataBytes() != keybagBytes)
+        || false)

# The trimmed list is written under a reader's lock: beside another trim, or under a restore that sends it.
row trim-as-reader backup/backupmanifest_trim.cpp tests_backup
-    const auto lock = lockForWritingThrow();
+    const auto lock = lockForReadingThrow();

# The password step's wait for another window cannot be cancelled.
row unlock-wait-not-cancelable backup/iositunesbksetpasswordthread.cpp tests_backup
-            QMetaObject::invokeMethod(window, [window, waiting] { window->setCancelable(waiting); },
+            QMetaObject::invokeMethod(window, [window] { window->setCancelable(false); },

# The file tree read again keeps the camera roll's index of the freed tree.
row refresh-keeps-photo-index backup/backupmanifest_tree.cpp tests_backup
-    photos.clear();
+    ;

# The password step's thread lets the cancel of its wait escape: the program ends.
row unlock-cancel-uncaught backup/iositunesbksetpasswordthread.cpp tests_backup
-    } catch (int) {
-        // Cancelled while it waited: nothing was written.
-    } catch (const std::exception& e) {
+    } catch (const std::exception& e) {

# A walk over a dictionary pairs each key with the value before it: the
# phone's moves put files under each other's names.
row plist-walk-pairs foundation/plistcftype.cpp tests_device
-    plistdetail::forEachEntry(ref(), [&](const char* key, plist_t value) {
-        return f(QString::fromUtf8(key), PlistCFType(value, false));
+    plist_t before = nullptr;
+    plistdetail::forEachEntry(ref(), [&](const char* key, plist_t value) {
+        const plist_t paired = before ? before : value;
+        before = value;
+        return f(QString::fromUtf8(key), PlistCFType(paired, false));

# A cancel during the phone's move of a whole backup waits for its last file.
row engine-cancel-inside-move device/backup2tool_files.cpp tests_device
-    msg.at(1).dict_forEach([&](const QString& from, const PlistCFType& target) {
-        if ((cancelled = isCancel()))
+    msg.at(1).dict_forEach([&](const QString& from, const PlistCFType& target) {
+        if (false)

# A cancel during the phone's removal of many files waits for the last one.
row engine-cancel-inside-remove device/backup2tool_files.cpp tests_device
-        if ((cancelled = isCancel()))
-            return false;
-        const QString path = item.CFStringQString();
-        const QString local = path.isEmpty() ? path : devicePath(path, &error);
+        if (false)
+            return false;
+        const QString path = item.CFStringQString();
+        const QString local = path.isEmpty() ? path : devicePath(path, &error);

# A device folder found as a link is cleared through it: the folder it leads to is emptied.
row device-folder-link-followed foundation/fileutil.cpp tests_device,tests_backup
-    if (::lstat(native.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
+    if (true)

# A failed device backup leaves the folders above the device folder that it made.
row device-backup-made-folders-kept device/iosmobilebackupthread.cpp tests_device
-        for (auto it = made.crbegin(); it != made.crend(); ++it)
-            QDir().rmdir(*it);
+        (void)made;

# A device folder that cannot be made is left to the lock, which fails with its own words.
row device-folder-unmade-unreported device/iosmobilebackupthread.cpp tests_device
-            if (const int code = makeFolders(folder, made))
+            if (const int code = makeFolders(folder, made) * 0)

# A device backup into a kept folder leaves the stale decrypted list beside the phone's new one.
row device-backup-keeps-decrypted-list device/iosmobilebackupthread.cpp tests_device
-                if (const int code = g_removeRegularFile(stale))
+                if (const int code = 0 * stale.size())

# A FIFO (or anything but a regular file) opened at the lock's name is taken as the lock file.
row lock-file-not-checked backup/backuplock.cpp tests_backup
-        if (!S_ISREG(st.st_mode)) {
+        if (false) {

# A file at the lock's name that this user cannot open stops every read with "Permission denied", naming neither it nor what to do.
row lock-file-in-the-way-unnamed backup/backuplock.cpp tests_backup
-            if (::lstat(path.constData(), &st) == 0 && (!S_ISREG(st.st_mode) || refused))
-                throw inTheWay(st, S_ISREG(st.st_mode) ? code : 0);
+            (void)inTheWay;

# A reader of a folder it cannot write, with nothing at the lock's name, fails instead of reading unlocked.
row lock-read-only-refused backup/backuplock.cpp tests_backup
-            if (fd < 0 && errno == ENOENT)
-                return; // nobody can write there to take it either
+            if (false)
+                return;

# A wait shown in a window leaves the window saying it waits once the lock is held.
row lock-wait-shown-forever backup/backuplock.cpp tests_backup
-                if (shown && waiting.shown)
+                if (false && waiting.shown)

# Clearing a folder given as a link empties the folder it leads to.
row clear-folder-through-link backup/backuplock.cpp tests_backup,tests_device
-    if (g_removeLink(folder))
-        return;
-    for (const QFileInfo& entry :
+    for (const QFileInfo& entry :

# A device backup keeps a link in the device folder's place and runs through it.
row device-backup-keeps-link device/iosmobilebackupthread.cpp tests_device
-            g_removeLink(folder);
+            ;

# A walk over a list stops after its first item: a restore sends the phone one file of the many it asks for.
row plist-array-walk-first-only foundation/plistcftype_p.h tests_device
-        if (!item || !f(item))
-            break;
+        if (!item || !f(item) || true)
+            break;

# A cancelled folder copy goes on to its end.
row hook-copy-not-cancelled device/backup2toolhook.cpp tests_device
-    if (cancelled && cancelled()) {
+    if (false) {

# A lock file that another account owns, or that a medium shows with one owner for every file, is refused though it can be opened.
row lock-file-owner-checked backup/backuplock.cpp tests_backup
-        if (!S_ISREG(st.st_mode)) {
+        if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {

# A lock file the user cannot remove is met with the advice to remove it.
row lock-file-advice-always-remove backup/backuplock.cpp tests_backup
-        const QString advice = removableBy(folder, st)
+        const QString advice = true

# A restore's merge puts a store copied from an earlier backup over the phone's newer one.
row merge-over-newer-backup backup/iosmergewafiles2itunesbkthread.cpp tests_device
-        if (!e.overwrite || e.copiedFrom.isEmpty() || !mergeable(e, QFileInfo(e.localFile)))
+        if (true)

# The load records nothing of the store's files it copied, so a restore cannot tell an older copy.
row load-records-nothing device/iosloadlinefromitunesthread.cpp tests_device
-            writeRecordThrow(lineDir.filePath(kRecordsFile), QJsonDocument(taken).toJson(QJsonDocument::Compact));
+            (void)taken;

# The restore job passes none of the load's records to the merge.
row restore-records-dropped device/iosrestorelinemsgthread.cpp tests_device
-            mergeItems.last().copiedFrom = records.value(MBDBParser::getFileHashName(domain, relative));
+            (void)records;

# A device backup cancelled once the phone had begun to replace a kept backup leaves it to be taken as finished.
row device-backup-cancel-keeps-mix device/iosmobilebackupthread.cpp tests_device
-        if (cancelled() && engine->backupChanged())
+        if (false && engine->backupChanged())

# The earlier Status.plist vouches for a kept folder while the phone replaces its files (a crash leaves a mix).
row device-backup-status-vouches device/iosmobilebackupthread.cpp tests_device
-        engine->beforeBackupChange = [folder] { g_removeRegularFile(QDir(folder).absoluteFilePath("Status.plist")); };
+        (void)folder;

# A device backup into a kept folder leaves the trimmed list of the earlier backup for a restore to send.
row device-backup-keeps-trimmed-list device/iosmobilebackupthread.cpp tests_device
-            for (const char* name : {"Manifest-decrypted.db", "Manifest-line.db", "Manifest-line.db-decrypt"}) {
+            for (const char* name : {"Manifest-decrypted.db"}) {

# The phone's moves into place go unnoticed as changes of the backup.
row engine-moves-unseen device/backup2tool_files.cpp tests_device
-        changing(src);
-        changing(dst);
+        ;

# Files the phone uploads into its staging folder count as changes of the earlier backup.
row engine-snapshot-counted device/backup2tool_files.cpp tests_device
-    if (m_backupChanged || local.isEmpty() || local == m_snapshot
-        || (local.startsWith(m_snapshot) && local.at(m_snapshot.size()) == QLatin1Char('/')))
+    if (m_backupChanged || local.isEmpty())

# A move message goes on after a pair the hook failed, answering the last pair's result.
row move-walk-after-failure device/backup2tool_files.cpp tests_device
-        rc = m_hook->moveFile(m_root, from, to, error);
-        return rc == 0;
+        rc = m_hook->moveFile(m_root, from, to, error);
+        return true;

# A move message goes on after a refused pair.
row move-walk-after-refused device/backup2tool_files.cpp tests_device
-            rc = Backup2ToolHook::RefusedPath;
-            return false;
+            rc = Backup2ToolHook::RefusedPath;
+            return true;

# Of an app's group containers only the first is kept.
row hook-first-group-only device/fakebackup2toolhook.cpp tests_device
-                add(container);
-                return true;
+                add(container);
+                return false;

# A medium that shows one owner for every file refuses a new file's mode: every write there fails.
row mode-refused-fails foundation/safefile.cpp tests_backup
-    return code == EPERM || code == EOPNOTSUPP || code == ENOTSUP ? 0 : code;
+    return code;

# The old content copied aside fails where the medium refuses its mode (no hard links there either).
row copy-aside-mode-refused backup/stagedfiles.cpp tests_backup
-        code = safefile::setModeOfNewFile(out, int(st.st_mode & 07777));
+        code = ::fchmod(out, st.st_mode & 07777) ? errno : 0;

# A LINE copy whose load never recorded what it copied (cut short, or made by an earlier version) is restored over the backup's store.
row restore-unrecorded-copy device/iosrestorelinemsgthread.cpp tests_device
-            if (rel.isEmpty() || records.value(MBDBParser::getFileHashName(domain, rel + side)).isEmpty()) {
+            if (rel.isEmpty()) {

# A load that cannot write its record of what it copied ends as a success.
row load-record-unwritten device/iosloadlinefromitunesthread.cpp tests_device
-                throw std::runtime_error(unrecorded(QString::fromUtf8(e.what())));
+                (void)e;

# The record of the previous load stays beside a new copy when it cannot be removed.
row load-record-kept device/iosloadlinefromitunesthread.cpp tests_device
-        if (!earlier.remove() && QFileInfo(earlier.fileName()).exists())
+        if (!earlier.remove() && false)

# A cancel confirmed after the phone's good verdict discards the backup it made.
row device-backup-cancel-after-verdict device/iosmobilebackupthread.cpp tests_device
-        if (!made && engine->backupChanged())
+        if (cancelled() && engine->backupChanged())

# Clearing a backup folder leaves Status.plist and the lists to the end: a crash then leaves a finished backup without its data.
row clear-vouching-last backup/backuplock.cpp tests_device
-        if (entry.exists() || entry.isSymLink())
+        if (false)
