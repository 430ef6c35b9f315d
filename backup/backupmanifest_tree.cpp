// The file tree of a backup and the indexes of well-known iOS files.
#include "backup/backupmanifest.h"

#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <vector>

#include "backup/mbdbparser_p.h"
#include "foundation/safefile.h"

namespace {

const QString kSystemDomains = QStringLiteral(
    "=Domain=MediaDomain=RootDomain=HomeDomain=SystemPreferencesDomain=MobileDeviceDomain=WirelessDomain="
    "DatabaseDomain=CameraRollDomain=HealthDomain=KeychainDomain=KeyboardDomain=ManagedPreferencesDomain=");

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

bool is(const QString& a, const char* b)
{
    return a.compare(QLatin1String(b), Qt::CaseInsensitive) == 0;
}

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

void BackupManifest::parseInfo()
{
    if (!root.children.isEmpty())
        return;
    items = MBDBParser::parse(*this);

    // By domain, then path, as UTF-16 code units: the domains in a map, the
    // paths of each domain sorted apart (and at the same time as the others).
    struct Sorted
    {
        QString path;
        const MBDBParser::_MBDBItem* item;
    };
    QMap<QString, std::vector<Sorted>> byDomain;
    for (const MBDBParser::_MBDBItem& item : std::as_const(items.files))
        byDomain[item.domain.toString()].push_back({QString(), &item});
    std::vector<std::vector<Sorted>*> groups;
    for (std::vector<Sorted>& g : byDomain)
        groups.push_back(&g);
    mbdbdetail::parallelFor(groups.size(), [&](size_t g) {
        for (Sorted& r : *groups[g])
            r.path = r.item->path.toString();
        std::sort(groups[g]->begin(), groups[g]->end(), [](const Sorted& a, const Sorted& b) {
            return QString::compare(a.path, b.path, Qt::CaseSensitive) < 0;
        });
    });

    static const QRegularExpression appDomain(QStringLiteral("^AppDomain([^-]*)-(.+)$"),
                                              QRegularExpression::DotMatchesEverythingOption);
    MBDBParser::_MBDBItem folder;
    folder.mode = 0x4000;
    QHash<QString, _FileNode*> nodesByPath;
    nodesByPath.reserve(items.files.size() + 64);
    std::pair<QString, _FileNode*> recent[2] = {{QString(), nullptr}, {QString(), nullptr}};
    for (auto group = byDomain.cbegin(); group != byDomain.cend(); ++group) {
        // Where the domain's records go: its top node's name, the prefix of
        // their virtual paths, and whether its name can be a folder name at all.
        const QString& domain = group.key();
        const IndexKind kind = is(domain, "CameraRollDomain") ? IndexKind::CameraRoll
            : is(domain, "HomeDomain")                        ? IndexKind::Home
            : is(domain, "MediaDomain")                       ? IndexKind::Media
            : is(domain, "WirelessDomain")                    ? IndexKind::Wireless
                                                              : IndexKind::None;
        QString top, prefix;
        bool usable = true;
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
        for (const Sorted& r : group.value()) {
            QString path;
            // A path from the list is cleaned ("a//b", "./a") or refused
            // ("..", "/x"): a node's virtual path is where a copy of it may end up.
            if (!usable || (!r.path.isEmpty() && !safefile::cleanRelativePath(r.path, &path)))
                continue;
            const QString virtualPath = top.isEmpty() || prefix.endsWith(QLatin1Char('/')) || path.isEmpty()
                ? prefix + path
                : prefix + QLatin1Char('/') + path;
            if (!top.isEmpty() && !nodesByPath.contains(top)) {
                auto* node = new _FileNode(&root, folder, top);
                root.children.append(node);
                nodesByPath.insert(top, node);
            }
            const qsizetype slash = virtualPath.lastIndexOf(QLatin1Char('/'));
            if (slash == virtualPath.size() - 1)
                continue; // no name
            // Sorted records mostly follow their folder or a sibling: the last
            // two parents looked up are tried before the index.
            const QStringView parentPath = QStringView(virtualPath).left(qMax<qsizetype>(slash, 0));
            _FileNode* parent = &root;
            if (slash >= 0) {
                if (parentPath == recent[0].first)
                    parent = recent[0].second;
                else if (parentPath == recent[1].first)
                    parent = recent[1].second;
                else
                    parent = nodesByPath.value(parentPath.toString(), &root);
            }
            _FileNode*& slot = nodesByPath[virtualPath];
            if (slot)
                continue; // the first record of a virtual path keeps it
            slot = new _FileNode(parent, *r.item, virtualPath.mid(slash + 1));
            parent->children.append(slot);
            if (slash >= 0 && parent != &root)
                recent[1] = {parentPath.toString(), parent};
            recent[0] = {virtualPath, slot};
            indexNode(slot, kind, path);
        }
    }
}

void BackupManifest::indexNode(const _FileNode* node, IndexKind kind, const QString& path)
{
    if (kind == IndexKind::CameraRoll) {
        static const QRegularExpression still = rx("^Media/DCIM/\\d+APPLE/[^/\\.]+(\\.[^/\\.]+)");
        static const QRegularExpression meta = rx("^Media/PhotoData/MetaData/DCIM/\\d+APPLE/([^/\\.]+)(\\.[^/\\.]+)");
        static const QRegularExpression thumb = rx("^Media/DCIM/\\.THMB/[^/]+/\\d+APPLE___([^/\\.]+)(\\.[^/\\.]+)");
        QRegularExpressionMatch m;
        if ((m = still.match(path)).hasMatch()) {
            const QString ext = m.captured(1).toLower();
            if (ext == QLatin1String(".mov"))
                videos << node;
            else if (ext == QLatin1String(".jpg") || ext == QLatin1String(".png"))
                photos << node;
        } else if ((m = meta.match(path)).hasMatch()) {
            if (m.captured(2).toLower() == QLatin1String(".thm"))
                photoThumbnails.insert(m.captured(1), node);
        } else if ((m = thumb.match(path)).hasMatch()) {
            const QString ext = m.captured(2).toLower();
            if (ext == QLatin1String(".jpg") || ext == QLatin1String(".png"))
                photoThumbnails.insert(m.captured(1), node);
        }
    } else if (kind == IndexKind::Home) {
        const struct { const _FileNode** member; const char* path; } rows[] = {
            {&smsDb, "Library/SMS/sms.db"},
            {&addressBookDb, "Library/AddressBook/AddressBook.sqlitedb"},
            {&addressBookImagesDb, "Library/AddressBook/AddressBookImages.sqlitedb"},
            {&notesDb, "Library/Notes/notes.sqlite"},
            {&calendarDb, "Library/Calendar/Calendar.sqlitedb"},
            {&calendarExtrasDb, "Library/Calendar/Extras.db"},
            {&voicemailDb, "Library/Voicemail/voicemail.db"},
            {&bookmarksDb, "Library/Safari/Bookmarks.db"},
            {&callHistoryStore, "Library/CallHistoryDB/CallHistory.storedata"},
        };
        for (const auto& row : rows) {
            if (!*row.member && is(path, row.path)) {
                *row.member = node;
                return;
            }
        }
        static const QRegularExpression voicemail = rx("^Library/Voicemail/(\\d+)\\.amr$");
        const QRegularExpressionMatch m = voicemail.match(path);
        if (m.hasMatch())
            voicemails.insert(m.captured(1).toInt(), node); // a number beyond int gives 0
    } else if (kind == IndexKind::Media) {
        if (!recordingsDb && is(path, "Media/Recordings/Recordings.db")) {
            recordingsDb = node;
        } else if (path.startsWith(QLatin1String("Library/SMS/"), Qt::CaseInsensitive)) {
            if (node->item.isFolder())
                return;
            const QString device = QStringLiteral("/var/mobile/");
            const qsizetype preview = path.lastIndexOf(QLatin1String("-preview"));
            if (preview > 0) {
                smsFilesByDevicePath.insert(device + path.left(preview) + QLatin1String("-preview"), node);
                const QString fileName = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
                if (fileName.contains(QLatin1String("-preview-left"), Qt::CaseInsensitive))
                    smsFilesByDevicePath.insert(device + path.left(preview) + QLatin1String("-preview-left"), node);
            } else {
                const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
                smsFilesByDevicePath.insert(device + (dot > 0 ? path.left(dot) : path), node);
            }
            static const QRegularExpression part = rx("^Library/SMS/Parts/[^/]+/[^/]+/([^/]+)$");
            static const QRegularExpression attachment = rx("^Library/SMS/Attachments/([^/]+)/([^/]+)$");
            QRegularExpressionMatch m;
            if ((m = part.match(path)).hasMatch())
                smsParts.insert(baseName(m.captured(1)), node);
            else if ((m = attachment.match(path)).hasMatch())
                smsAttachments.insert(m.captured(1) + QLatin1Char('/') + baseName(m.captured(2)), node);
        } else {
            static const QRegularExpression memo = rx("^Media/Recordings/([^/.]+\\.m4a)$");
            const QRegularExpressionMatch m = memo.match(path);
            if (m.hasMatch() && !node->item.isFolder())
                recordings.insert(m.captured(1), node);
        }
    } else if (kind == IndexKind::Wireless) {
        if (!callHistoryDb && is(path, "Library/CallHistory/call_history.db"))
            callHistoryDb = node;
    }
}
