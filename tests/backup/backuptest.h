#pragma once

#include <QJsonArray>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>

#include "backup/backupmanifest.h"
#include "tests/support/backupbuilder.h"
#include "tests/support/gtest_qt.h"
#include "tests/support/testenv.h"

namespace bb = backupbuilder;
using testenv::readFile;

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
    // The backup opened, and unlocked when a password is given.
    static std::unique_ptr<BackupManifest> open(const QString& folder, const QString& password = QString())
    {
        auto b = std::make_unique<BackupManifest>(folder);
        b->readManifestInfo();
        if (!password.isEmpty() && !b->setPasscodeNoUIThrow(password))
            throw std::runtime_error("password refused");
        return b;
    }
};

// The text of what `f` throws, for EXPECT_PRED2(contains, errorOf(...), "part").
template <class F>
QString errorOf(F f)
{
    try {
        f();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    return QStringLiteral("no error");
}

inline const auto contains = [](const QString& text, const char* part) { return text.contains(QString::fromUtf8(part)); };
