#pragma once

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "tests/support/backupbuilder.h"
#include "tests/support/gtest_qt.h"

namespace bb = backupbuilder;

// A temporary folder holding built backups.
struct BackupTest : ::testing::Test
{
    QTemporaryDir tmp;
    bb::Built built;
    QString build(const QJsonObject& spec, const QString& name = QStringLiteral("bk"))
    {
        const QString folder = tmp.filePath(name);
        built = bb::build(folder, spec);
        return folder;
    }
};

inline QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
