#include "backup/backupmanifest.h"

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
