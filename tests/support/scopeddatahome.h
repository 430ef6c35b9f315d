#pragma once

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include "foundation/datadir.h"

// Points the data location ($XDG_DATA_HOME) at a fresh temporary folder for
// its lifetime and restores the previous one afterwards; the cached
// data-folder path is forgotten both times.
class ScopedDataHome
{
public:
    ScopedDataHome() : m_saved(qgetenv("XDG_DATA_HOME"))
    {
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.path()));
        g_forgetDataSaveDir();
    }
    ~ScopedDataHome()
    {
        qputenv("XDG_DATA_HOME", m_saved);
        g_forgetDataSaveDir();
    }
    QString path() const { return m_home.path(); }

private:
    QTemporaryDir m_home;
    QByteArray m_saved;
};
