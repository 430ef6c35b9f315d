#include "foundation/sqlite3stmtcache_p.h"

#include <sqlite3.h>

Sqlite3StmtCache::~Sqlite3StmtCache()
{
    close();
}

sqlite3_stmt* Sqlite3StmtCache::take(const QByteArray& sql, bool* single)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_idle.find(sql);
    if (it == m_idle.end())
        return nullptr;
    sqlite3_stmt* stmt = it->stmt;
    *single = it->single;
    m_idle.erase(it);
    return stmt;
}

void Sqlite3StmtCache::give(const QByteArray& sql, sqlite3_stmt* stmt, bool single)
{
    if (!stmt)
        return;
    // The error of a failed step was reported by that step already.
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    sqlite3_stmt* drop = stmt;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_closed && !m_idle.contains(sql)) {
            if (m_idle.size() >= kCapacity) {
                auto oldest = m_idle.begin();
                for (auto it = m_idle.begin(); it != m_idle.end(); ++it)
                    if (it->lastUse < oldest->lastUse)
                        oldest = it;
                drop = oldest->stmt;
                m_idle.erase(oldest);
            } else {
                drop = nullptr;
            }
            m_idle.insert(sql, Entry{stmt, single, ++m_clock});
        }
    }
    sqlite3_finalize(drop);
}

void Sqlite3StmtCache::close()
{
    QHash<QByteArray, Entry> idle;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        idle.swap(m_idle);
    }
    for (const Entry& e : std::as_const(idle))
        sqlite3_finalize(e.stmt);
}
