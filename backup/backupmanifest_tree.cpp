// The file tree of a backup and the indexes of well-known iOS files.
#include "backup/backupmanifest.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QFile>
#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <deque>
#include <iterator>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include <sys/stat.h>

#include "backup/mbdbparser_p.h"
#include "foundation/safefile.h"

namespace {

const QString kSystemDomains = QStringLiteral(
    "=Domain=MediaDomain=RootDomain=HomeDomain=SystemPreferencesDomain=MobileDeviceDomain=WirelessDomain="
    "DatabaseDomain=CameraRollDomain=HealthDomain=KeychainDomain=KeyboardDomain=ManagedPreferencesDomain=");

// Files found by their path without regard to case: HomeDomain's, then
// MediaDomain's, then WirelessDomain's (the order of addToIndexes's slots).
const char* const kWellKnown[] = {
    "Library/SMS/sms.db",
    "Library/AddressBook/AddressBook.sqlitedb",
    "Library/AddressBook/AddressBookImages.sqlitedb",
    "Library/Notes/notes.sqlite",
    "Library/Calendar/Calendar.sqlitedb",
    "Library/Calendar/Extras.db",
    "Library/Voicemail/voicemail.db",
    "Library/Safari/Bookmarks.db",
    "Library/CallHistoryDB/CallHistory.storedata",
    "Media/Recordings/Recordings.db",
    "Library/CallHistory/call_history.db",
};
constexpr int kHomeFiles = 9, kRecordingsDb = 9, kCallHistoryDb = 10;

// One folder or file name that cannot lead anywhere else: not empty, not "."
// or "..", no "/" and no NUL.
bool isPlainName(const QString& name)
{
    QString clean;
    return safefile::cleanRelativePath(name, &clean, 1) && clean == name;
}

QRegularExpression rx(const char* pattern)
{
    return QRegularExpression(QString::fromLatin1(pattern), QRegularExpression::CaseInsensitiveOption);
}

QString baseName(const QString& fileName)
{
    return fileName.left(fileName.indexOf(QLatin1Char('.')));
}

// Equal without regard to case (a folded character is one code unit, so
// equal texts are of equal length).
bool is(const QString& a, const char* b)
{
    const QLatin1String latin(b);
    return a.size() == latin.size() && a.compare(latin, Qt::CaseInsensitive) == 0;
}

// Whether `path` begins with `lead` without regard to case: a cheap test
// that spares most paths a pattern anchored there.
bool leads(const QString& path, const char* lead)
{
    return path.startsWith(QLatin1String(lead), Qt::CaseInsensitive);
}

// The domains whose files are indexed, matched without regard to case.
enum class IndexKind { None, CameraRoll, Home, Media, Wireless };

// Where a domain's records go: its top node's name, the prefix of their
// virtual paths, and whether its name can be a folder name at all.
struct Domain
{
    explicit Domain(const QString& domain)
    {
        kind = is(domain, "CameraRollDomain") ? IndexKind::CameraRoll
            : is(domain, "HomeDomain")        ? IndexKind::Home
            : is(domain, "MediaDomain")       ? IndexKind::Media
            : is(domain, "WirelessDomain")    ? IndexKind::Wireless
                                              : IndexKind::None;
        static const QRegularExpression appDomain(QStringLiteral("^AppDomain([^-]*)-(.+)$"),
                                                  QRegularExpression::DotMatchesEverythingOption);
        const QRegularExpressionMatch app = appDomain.match(domain);
        if (app.hasMatch()) {
            top = app.captured(1).isEmpty() ? QStringLiteral("Applications")
                                            : QStringLiteral("AppDomain") + app.captured(1);
            prefix = top + QLatin1Char('/') + app.captured(2);
            usable = isPlainName(top) && isPlainName(app.captured(2));
        } else if (!kSystemDomains.contains(QLatin1Char('=') + domain + QLatin1Char('='))) {
            top = domain;
            prefix = domain + QLatin1Char('/');
            usable = isPlainName(domain);
        }
    }

    IndexKind kind;
    QString top, prefix;
    bool usable = true;
    int rank = 0; // in the order of the domains' names
};

// The domains of a list, shared by the helper threads: each distinct stored
// name decoded once, and names that decode alike one domain.
class DomainIndex
{
public:
    // What one thread has looked up already, so that it seldom waits.
    using Cache = QHash<QByteArray, const Domain*>;

    const Domain* of(const MBDBParser::_MBDBBinary& stored, Cache& cache)
    {
        static const QByteArray none;
        const QByteArray& key = stored.isValid() ? stored.data : none;
        if (const Domain* known = cache.value(key))
            return known;
        const std::lock_guard<std::mutex> lock(mutex);
        const Domain*& byName = byStored[key];
        if (!byName) {
            const QString text = stored.toString();
            Domain*& byDecoded = byText[text];
            if (!byDecoded)
                byDecoded = &all.emplace_back(text);
            byName = byDecoded;
        }
        cache.insert(key, byName);
        return byName;
    }

    void rank()
    {
        int rank = 0;
        for (Domain* domain : std::as_const(byText))
            domain->rank = rank++;
    }

    size_t size() const { return all.size(); }

private:
    std::mutex mutex;
    QHash<QByteArray, const Domain*> byStored;
    QMap<QString, Domain*> byText;
    std::deque<Domain> all;
};

// One entry of the indexes that a node makes, worked out on any thread from
// its path alone, applied in the order of the nodes.
struct IndexHit
{
    enum What { WellKnown, Photo, Video, Thumbnail, SmsFile, SmsPart, SmsAttachment, Recording, Voicemail };
    IndexHit(What what, int number = 0, const QString& key = QString())
        : what(what)
        , number(number)
        , key(key)
    {
    }

    What what;
    int number; // WellKnown: the row of kWellKnown (taken only while empty); Voicemail: the number
    QString key;
};

// The indexes' patterns, compiled once per thread: threads that share one
// expression take turns on its lock at every match.
struct Patterns
{
    const QRegularExpression still = rx("^Media/DCIM/\\d+APPLE/[^/\\.]+(\\.[^/\\.]+)");
    const QRegularExpression meta = rx("^Media/PhotoData/MetaData/DCIM/\\d+APPLE/([^/\\.]+)(\\.[^/\\.]+)");
    const QRegularExpression thumb = rx("^Media/DCIM/\\.THMB/[^/]+/\\d+APPLE___([^/\\.]+)(\\.[^/\\.]+)");
    const QRegularExpression voicemail = rx("^Library/Voicemail/(\\d+)\\.amr$");
    const QRegularExpression part = rx("^Library/SMS/Parts/[^/]+/[^/]+/([^/]+)$");
    const QRegularExpression attachment = rx("^Library/SMS/Attachments/([^/]+)/([^/]+)$");
    const QRegularExpression memo = rx("^Media/Recordings/([^/.]+\\.m4a)$");
};

// The index entries of a node at `path` (cleaned, below its domain). A
// well-known file's entry comes first: when its slot is already taken the
// entries after it apply instead, as they would for any other path.
std::vector<IndexHit> indexHits(IndexKind kind, const QString& path, bool folder)
{
    std::vector<IndexHit> hits;
    if (kind == IndexKind::None)
        return hits;
    thread_local const Patterns patterns;
    QRegularExpressionMatch m;
    if (kind == IndexKind::CameraRoll) {
        if (!leads(path, "Media/"))
            return hits;
        if ((m = patterns.still.match(path)).hasMatch()) {
            const QString ext = m.captured(1).toLower();
            if (ext == QLatin1String(".mov"))
                hits.push_back({IndexHit::Video});
            else if (ext == QLatin1String(".jpg") || ext == QLatin1String(".png"))
                hits.push_back({IndexHit::Photo});
        } else if ((m = patterns.meta.match(path)).hasMatch()) {
            if (m.captured(2).toLower() == QLatin1String(".thm"))
                hits.push_back({IndexHit::Thumbnail, 0, m.captured(1)});
        } else if ((m = patterns.thumb.match(path)).hasMatch()) {
            const QString ext = m.captured(2).toLower();
            if (ext == QLatin1String(".jpg") || ext == QLatin1String(".png"))
                hits.push_back({IndexHit::Thumbnail, 0, m.captured(1)});
        }
    } else if (kind == IndexKind::Home) {
        for (int row = 0; row < kHomeFiles; ++row) {
            if (is(path, kWellKnown[row])) {
                hits.push_back({IndexHit::WellKnown, row});
                break;
            }
        }
        if (leads(path, "Library/Voicemail/") && (m = patterns.voicemail.match(path)).hasMatch())
            hits.push_back({IndexHit::Voicemail, m.captured(1).toInt()}); // a number beyond int gives 0
    } else if (kind == IndexKind::Media) {
        if (is(path, kWellKnown[kRecordingsDb]))
            hits.push_back({IndexHit::WellKnown, kRecordingsDb});
        if (leads(path, "Library/SMS/")) {
            if (folder)
                return hits;
            const QString device = QStringLiteral("/var/mobile/");
            const qsizetype preview = path.lastIndexOf(QLatin1String("-preview"));
            if (preview > 0) {
                hits.push_back({IndexHit::SmsFile, 0, device + path.left(preview) + QLatin1String("-preview")});
                const QString fileName = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
                if (fileName.contains(QLatin1String("-preview-left"), Qt::CaseInsensitive))
                    hits.push_back({IndexHit::SmsFile, 0, device + path.left(preview) + QLatin1String("-preview-left")});
            } else {
                const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
                hits.push_back({IndexHit::SmsFile, 0, device + (dot > 0 ? path.left(dot) : path)});
            }
            if ((m = patterns.part.match(path)).hasMatch())
                hits.push_back({IndexHit::SmsPart, 0, baseName(m.captured(1))});
            else if ((m = patterns.attachment.match(path)).hasMatch())
                hits.push_back({IndexHit::SmsAttachment, 0, m.captured(1) + QLatin1Char('/') + baseName(m.captured(2))});
        } else if (!folder && leads(path, "Media/Recordings/") && (m = patterns.memo.match(path)).hasMatch()) {
            hits.push_back({IndexHit::Recording, 0, m.captured(1)});
        }
    } else if (is(path, kWellKnown[kCallHistoryDb])) {
        hits.push_back({IndexHit::WellKnown, kCallHistoryDb});
    }
    return hits;
}

// Starts moving what `p` points to into the cache: records, their texts
// and nodes lie all over the heap, and a loop that names them a few
// iterations ahead need not wait for each.
inline void fetch(const void* p)
{
    __builtin_prefetch(p);
}

// fn(begin, end) over slices of [0, n) on the helper threads; enough slices
// to keep them busy, each large enough to be worth a task.
size_t sliceSize(size_t n)
{
    return std::max<size_t>(n / 256 + 1, 1024);
}

template <class F>
void inSlices(size_t n, F fn)
{
    const size_t size = sliceSize(n);
    mbdbdetail::parallelFor((n + size - 1) / size, [&](size_t s) { fn(s * size, std::min(n, (s + 1) * size)); });
}

// n default-made elements, made and taken down on the helper threads (a
// std::vector of a million would first be written whole by one).
template <class T>
class ThreadArray
{
public:
    explicit ThreadArray(size_t n)
        : n(n)
        , data(static_cast<T*>(::operator new(n * sizeof(T))))
    {
        inSlices(n, [&](size_t begin, size_t end) { std::uninitialized_default_construct(data + begin, data + end); });
    }
    ~ThreadArray()
    {
        if (!std::is_trivially_destructible_v<T>)
            inSlices(n, [&](size_t begin, size_t end) { std::destroy(data + begin, data + end); });
        ::operator delete(data);
    }
    ThreadArray(const ThreadArray&) = delete;
    ThreadArray& operator=(const ThreadArray&) = delete;

    T& operator[](size_t i) { return data[i]; }
    const T& operator[](size_t i) const { return data[i]; }
    T* begin() { return data; }
    size_t size() const { return n; }

private:
    size_t n;
    T* data;
};

// Sorts v on the helper threads: slices sorted apart, then merged in pairs,
// each merge cut into slices at points found by bisection (in elements that
// other slices read meanwhile: T is copied, never moved). `less` must be a
// strict total order, so the result is the one std::sort gives; ahead(e)
// starts fetching what `less` reads of e.
template <class T, class Less, class Ahead>
void sortOnThreads(ThreadArray<T>& v, Less less, Ahead ahead)
{
    static_assert(std::is_trivially_copyable_v<T>);
    const size_t n = v.size(), size = sliceSize(n);
    inSlices(n, [&](size_t begin, size_t end) { std::sort(v.begin() + begin, v.begin() + end, less); });
    ThreadArray<T> spare(n);
    T *from = v.begin(), *into = spare.begin();
    for (size_t run = size; run < n; run *= 2) {
        inSlices(n, [&](size_t begin, size_t end) {
            // This slice of the merge of [a, b) and [b, c): the first k
            // elements of the merge hold firstOf(k) of [a, b).
            const size_t a = begin / (2 * run) * (2 * run), b = std::min(n, a + run), c = std::min(n, a + 2 * run);
            auto firstOf = [&](size_t k) {
                size_t lo = k > c - b ? k - (c - b) : 0, hi = std::min(k, b - a);
                while (lo < hi) {
                    const size_t mid = (lo + hi) / 2;
                    if (less(from[b + k - mid - 1], from[a + mid]))
                        hi = mid;
                    else
                        lo = mid + 1;
                }
                return lo;
            };
            const size_t i = firstOf(begin - a), j = firstOf(end - a);
            const T *x = from + a + i, *xEnd = from + a + j;
            const T *y = from + b + (begin - a - i), *yEnd = from + b + (end - a - j);
            T* to = into + begin;
            // What the elements point to is far apart: fetched a few ahead.
            for (; x < xEnd && y < yEnd; ++to) {
                if (x + 4 < xEnd)
                    ahead(x[4]);
                if (y + 4 < yEnd)
                    ahead(y[4]);
                *to = less(*y, *x) ? *y++ : *x++;
            }
            std::copy(y, yEnd, std::copy(x, xEnd, to));
        });
        std::swap(from, into);
    }
    if (from != v.begin())
        inSlices(n, [&](size_t begin, size_t end) { std::copy(from + begin, from + end, v.begin() + begin); });
}

// Texts side by side in large blocks, so that a million of them cost a few
// allocations: views into them stay valid while the store lives.
class TextStore
{
public:
    // A copy of a + b + c.
    QStringView add(QStringView a, QStringView b = {}, QStringView c = {})
    {
        const qsizetype size = a.size() + b.size() + c.size();
        if (left < size) {
            left = std::max<qsizetype>(size, 16384);
            blocks.emplace_back(new QChar[size_t(left)]);
            next = blocks.back().get();
        }
        QChar* const text = next;
        for (QStringView part : {a, b, c})
            next = std::copy(part.begin(), part.end(), next);
        left -= size;
        return QStringView(text, size);
    }

private:
    std::vector<std::unique_ptr<QChar[]>> blocks;
    QChar* next = nullptr;
    qsizetype left = 0;
};

// The nodes by virtual path while a tree is built: open addressing on
// hashes worked out beforehand on the helper threads, so that slots can be
// fetched ahead of use. Keys are views: their texts must outlive the index.
class NodeIndex
{
public:
    explicit NodeIndex(size_t n)
        : table(capacity(n))
    {
    }

    // The node stored under `key`, or the place for one (null).
    BackupManifest::_FileNode*& at(QStringView key, size_t hash)
    {
        for (size_t i = hash;; ++i) {
            Slot& s = table[i & (table.size() - 1)];
            if (!s.node) {
                s.hash = hash;
                s.key = key;
                return s.node;
            }
            if (s.hash == hash && s.key == key)
                return s.node;
        }
    }

    void prefetch(size_t hash) const { fetch(&table[hash & (table.size() - 1)]); }

private:
    // A power of two with a third or more of it free.
    static size_t capacity(size_t n)
    {
        size_t c = 64;
        while (c < n + n / 2)
            c *= 2;
        return c;
    }

    struct Slot
    {
        size_t hash = 0;
        QStringView key;
        BackupManifest::_FileNode* node = nullptr;
    };
    ThreadArray<Slot> table;
};

} // namespace

BackupManifest::_FileNode::_FileNode(_FileNode* parent, const MBDBParser::_MBDBItem& item, const QString& name)
    : name(name)
    , item(item)
    , parent(parent)
{
}

BackupManifest::_FileNode::~_FileNode()
{
    qDeleteAll(children);
}

namespace {

// Applies the index entries of a node that has just joined the tree.
void addToIndexes(BackupManifest& b, const BackupManifest::_FileNode* node, const std::vector<IndexHit>& hits)
{
    const BackupManifest::_FileNode** wellKnown[] = {
        &b.smsDb,       &b.addressBookDb, &b.addressBookImagesDb, &b.notesDb,     &b.calendarDb,   &b.calendarExtrasDb,
        &b.voicemailDb, &b.bookmarksDb,   &b.callHistoryStore,    &b.recordingsDb, &b.callHistoryDb};
    static_assert(std::size(wellKnown) == std::size(kWellKnown));
    for (const IndexHit& hit : hits) {
        switch (hit.what) {
        case IndexHit::WellKnown:
            if (!*wellKnown[hit.number]) {
                *wellKnown[hit.number] = node; // the first node of that path keeps it
                return;
            }
            break;
        case IndexHit::Photo:
            b.photos << node;
            break;
        case IndexHit::Video:
            b.videos << node;
            break;
        case IndexHit::Thumbnail:
            b.photoThumbnails.insert(hit.key, node);
            break;
        case IndexHit::SmsFile:
            b.smsFilesByDevicePath.insert(hit.key, node);
            break;
        case IndexHit::SmsPart:
            b.smsParts.insert(hit.key, node);
            break;
        case IndexHit::SmsAttachment:
            b.smsAttachments.insert(hit.key, node);
            break;
        case IndexHit::Recording:
            b.recordings.insert(hit.key, node);
            break;
        case IndexHit::Voicemail:
            b.voicemails.insert(hit.number, node);
            break;
        }
    }
}

} // namespace

QByteArray BackupManifest::statStamp(const QStringList& paths)
{
    QByteArray stamp;
    for (const QString& path : paths) {
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            st = {};
        stamp += QByteArray::number(quint64(st.st_dev)) + ' ' + QByteArray::number(quint64(st.st_ino)) + ' '
            + QByteArray::number(qint64(st.st_size)) + ' ' + QByteArray::number(qint64(st.st_mtim.tv_sec)) + '.'
            + QByteArray::number(qint64(st.st_mtim.tv_nsec)) + ';';
    }
    return stamp;
}

QByteArray BackupManifest::recordStamp(const MBDBParser::MBDBItemMap& list, const QString& fileId) const
{
    const auto it = list.files.constFind(fileId);
    if (it == list.files.cend())
        return QByteArrayLiteral("none");
    // The data file's size and time, not its inode: a backup folder copied
    // whole (cp -a, another disk) is still the backup it was.
    const MBDBParser::_MBDBItem& r = *it;
    struct stat st;
    if (::lstat(QFile::encodeName(MBDBParser::getBKFilePath(dir, fileId, false)).constData(), &st) != 0)
        st = {};
    QByteArray fields;
    QDataStream out(&fields, QIODevice::WriteOnly);
    for (const MBDBParser::_MBDBBinary* text : {&r.domain, &r.path, &r.linkTarget, &r.digest, &r.encryptionKey})
        out << text->length << text->data;
    for (const MBDBParser::_MBDBProperty& p : r.properties)
        out << p.name.data << p.value.data;
    out << r.mode << r.inodeHigh << r.inodeNumber << r.userId << r.groupId << r.lastModified << r.lastStatusChange
        << r.birth << r.size << r.protectionClass << r.undecoded << quint32(st.st_mode & S_IFMT) << qint64(st.st_size)
        << qint64(st.st_mtim.tv_sec) << qint64(st.st_mtim.tv_nsec);
    return QCryptographicHash::hash(fields, QCryptographicHash::Sha1).toHex();
}

QByteArray BackupManifest::listStamp() const
{
    const QString list = !MBDBParser::isIos10Mbdb(dir) ? dir.absoluteFilePath(QStringLiteral("Manifest.mbdb"))
        : manifestKey.isEmpty()                          ? dir.absoluteFilePath(QStringLiteral("Manifest.db"))
                                                         : decryptedManifestPath;
    return statStamp({list, list + QStringLiteral("-wal")});
}

QByteArray BackupManifest::unlockStamp() const
{
    return statStamp({dir.absoluteFilePath(QStringLiteral("Manifest.plist")),
                      dir.absoluteFilePath(QStringLiteral("Manifest.db")),
                      dir.absoluteFilePath(QStringLiteral("Manifest-decrypted.db"))});
}

void BackupManifest::clearInfo()
{
    qDeleteAll(root.children);
    root.children.clear();
    photos.clear();
    videos.clear();
    photoThumbnails.clear();
    smsParts.clear();
    smsAttachments.clear();
    smsFilesByDevicePath.clear();
    for (const _FileNode** known : {&smsDb, &addressBookDb, &addressBookImagesDb, &notesDb, &calendarDb,
                                    &calendarExtrasDb, &recordingsDb, &voicemailDb, &bookmarksDb, &callHistoryDb,
                                    &callHistoryStore})
        *known = nullptr;
    recordings.clear();
    voicemails.clear();
    items = MBDBParser::MBDBItemMap();
    m_parsedStamp.clear();
}

bool BackupManifest::refreshInfoThrow()
{
    if (listStamp() == m_parsedStamp)
        return false;
    clearInfo();
    buildInfo(false); // under the caller's lock
    return true;
}

void BackupManifest::parseInfo()
{
    buildInfo(true);
}

void BackupManifest::buildInfo(bool takeLock)
{
    if (!root.children.isEmpty())
        return;
    {
        // Not while a merge replaces the list and its log.
        const auto lock = takeLock ? lockForReadingThrow() : nullptr;
        m_parsedStamp = listStamp();
        items = MBDBParser::parse(*this);
    }

    // Each record is worked out once, on the helper threads and in the order
    // of the list (its domain, its path as stored, where it goes and its
    // index entries), then sorted, given its node, and linked in order.
    struct Record
    {
        const Domain* domain = nullptr;
        QStringView path; // as stored: the order of the tree
        const QString* id = nullptr;
        const MBDBParser::_MBDBItem* item = nullptr;
        QStringView virtualPath;
        const std::vector<IndexHit>* hits = nullptr; // null: none
        _FileNode* node = nullptr; // null: no name, or not kept
        quint32 hash = 0, parentHash = 0; // of the virtual path and of its folder's
        qint32 slash = -1;
        bool kept = false;
    };
    // What the records of one slice point to.
    struct Slice
    {
        TextStore texts;
        std::deque<std::vector<IndexHit>> hits;
    };
    const size_t n = size_t(items.files.size());
    ThreadArray<Record> records(n);
    {
        size_t i = 0;
        for (auto it = items.files.cbegin(); it != items.files.cend(); ++it, ++i) {
            records[i].id = &it.key();
            records[i].item = &*it;
        }
    }
    DomainIndex domains;
    std::vector<Slice> slices((n + sliceSize(n) - 1) / sliceSize(n));
    inSlices(n, [&](size_t begin, size_t end) {
        Slice& slice = slices[begin / sliceSize(n)];
        DomainIndex::Cache cache;
        for (size_t i = begin; i < end; ++i) {
            if (i + 16 < end)
                fetch(records[i + 16].item);
            if (i + 8 < end) {
                fetch(records[i + 8].item->domain.data.constData());
                fetch(records[i + 8].item->path.data.constData());
            }
            Record& r = records[i];
            const Domain& d = *(r.domain = domains.of(r.item->domain, cache));
            const QString stored = r.item->path.toString();
            QString path;
            // A path from the list is cleaned ("a//b", "./a") or refused
            // ("..", "/x"): a node's virtual path is where a copy of it may end up.
            r.kept = d.usable && (stored.isEmpty() || safefile::cleanRelativePath(stored, &path));
            if (!r.kept) {
                r.path = slice.texts.add(stored);
                continue;
            }
            const QStringView separator = d.top.isEmpty() || d.prefix.endsWith(QLatin1Char('/')) || path.isEmpty()
                ? QStringView()
                : QStringView(u"/");
            if (path.constData() == stored.constData()) { // clean already: one copy holds both
                r.virtualPath = slice.texts.add(d.prefix, separator, stored);
                r.path = r.virtualPath.right(stored.size());
            } else {
                r.path = slice.texts.add(stored);
                r.virtualPath = slice.texts.add(d.prefix, separator, path);
            }
            r.slash = qint32(r.virtualPath.lastIndexOf(QLatin1Char('/')));
            // Seeded per process, so that no list can be made whose paths all
            // probe the same slots.
            r.hash = quint32(qHash(r.virtualPath, QHashSeed::globalSeed()));
            r.parentHash = quint32(qHash(r.virtualPath.left(qMax(r.slash, 0)), QHashSeed::globalSeed()));
            std::vector<IndexHit> hits = indexHits(d.kind, path, r.item->isFolder());
            if (!hits.empty())
                r.hits = &slice.hits.emplace_back(std::move(hits));
        }
    });

    // By domain, then path, as UTF-16 code units (then file ID, so that
    // records of the same domain and path always meet in one order).
    domains.rank();
    sortOnThreads(records, [](const Record& a, const Record& b) {
        if (a.domain != b.domain)
            return a.domain->rank < b.domain->rank;
        const int byPath = a.path.compare(b.path, Qt::CaseSensitive);
        return byPath != 0 ? byPath < 0 : *a.id < *b.id;
    }, [](const Record& r) { fetch(r.path.data()); });

    // The nodes, made in the order of the tree: it is taken down in that
    // order too, which goes much faster through memory allocated so.
    inSlices(n, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            if (i + 16 < end)
                fetch(records[i + 16].item);
            if (i + 8 < end) {
                const MBDBParser::_MBDBItem& item = *records[i + 8].item;
                for (const MBDBParser::_MBDBBinary* b :
                     {&item.domain, &item.path, &item.linkTarget, &item.digest, &item.encryptionKey})
                    fetch(b->data.constData());
                fetch(records[i + 8].virtualPath.data());
            }
            Record& r = records[i];
            if (r.kept && r.slash != r.virtualPath.size() - 1)
                r.node = new _FileNode(nullptr, *r.item, r.virtualPath.mid(r.slash + 1).toString());
        }
    });

    MBDBParser::_MBDBItem folder;
    folder.mode = 0x4000;
    NodeIndex nodesByPath(n + domains.size());
    // Sorted records mostly follow their folder or a sibling: the last two
    // parents looked up are tried before the index.
    std::pair<QStringView, _FileNode*> recent[2] = {{QStringView(), nullptr}, {QStringView(), nullptr}};
    const Domain* topPlaced = nullptr;
    for (size_t i = 0; i < n; ++i) {
        if (i + 32 < n) {
            fetch(&records[i + 32]);
            fetch(&records[i + 32].hits); // a record spans two cache lines
        }
        if (i + 16 < n)
            nodesByPath.prefetch(records[i + 16].hash);
        if (i + 8 < n) {
            fetch(records[i + 8].virtualPath.data());
            fetch(records[i + 8].node);
        }
        const Record& r = records[i];
        if (!r.kept)
            continue;
        if (r.domain != topPlaced) {
            topPlaced = r.domain;
            const QString& top = r.domain->top;
            _FileNode** slot = top.isEmpty() ? nullptr : &nodesByPath.at(top, quint32(qHash(QStringView(top), QHashSeed::globalSeed())));
            if (slot && !*slot) {
                *slot = new _FileNode(&root, folder, top);
                root.children.append(*slot);
            }
        }
        if (!r.node)
            continue;
        const QStringView parentPath = r.virtualPath.left(qMax(r.slash, 0));
        _FileNode* parent = &root;
        if (r.slash >= 0) {
            if (parentPath == recent[0].first)
                parent = recent[0].second;
            else if (parentPath == recent[1].first)
                parent = recent[1].second;
            else if (_FileNode* found = nodesByPath.at(parentPath, r.parentHash))
                parent = found;
        }
        _FileNode*& slot = nodesByPath.at(r.virtualPath, r.hash);
        if (slot) { // the first record of a virtual path keeps it
            delete r.node;
            continue;
        }
        slot = r.node;
        slot->parent = parent;
        parent->children.append(slot);
        if (r.slash >= 0 && parent != &root)
            recent[1] = {parentPath, parent};
        recent[0] = {r.virtualPath, slot};
        if (r.hits)
            addToIndexes(*this, slot, *r.hits);
    }
}
