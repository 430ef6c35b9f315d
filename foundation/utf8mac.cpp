#include "foundation/utf8mac.h"

#include <algorithm>
#include <array>
#include <vector>

#include "foundation/utf8mac_p.h"

namespace {

const S4 kTable[] = {
#include "foundation/utf8mac_table.inc"
};
constexpr int kTableSize = int(sizeof kTable / sizeof kTable[0]);

// Entries by precomposed unit: one array lookup per unit of text. Index + 1
// of the entry, 0 for a unit without one.
struct Decompose
{
    std::array<quint16, 0x10000> entry{};
    Decompose()
    {
        for (int i = 0; i < kTableSize; ++i)
            entry[kTable[i].ch] = quint16(i + 1);
    }
};

// Entries by their first decomposed unit, for recomposing: per unit, the
// entries of 4, 3 and 2 units. Single-unit entries are left out: read in
// reverse they would turn plain text such as ";" or "`" into look-alikes.
struct Compose
{
    struct Bucket
    {
        std::vector<const S4*> byLen[5];
    };
    std::array<qint16, 0x10000> bucket{};
    std::vector<Bucket> buckets;
    Compose()
    {
        bucket.fill(-1);
        for (const S4& e : kTable) {
            if (e.len < 2 || e.len > 4)
                continue;
            qint16& b = bucket[e.seq[0]];
            if (b < 0) {
                b = qint16(buckets.size());
                buckets.emplace_back();
            }
            buckets[size_t(b)].byLen[e.len].push_back(&e);
        }
    }
};

// Function-local statics are built exactly once, thread-safely.
const Decompose& decompose()
{
    static const Decompose d;
    return d;
}

const Compose& compose()
{
    static const Compose c;
    return c;
}

// The text up to its first U+0000.
qsizetype usableLength(const QString& text)
{
    const qsizetype nul = text.indexOf(QChar(u'\0'));
    return nul < 0 ? text.size() : nul;
}

} // namespace

const S4* utf8mac_table(int* count)
{
    if (count)
        *count = kTableSize;
    return kTable;
}

void utf8mac_tpl()
{
    decompose();
    compose();
}

QString utf8mac_to(const QString& text)
{
    const Decompose& d = decompose();
    const qsizetype n = usableLength(text);
    const char16_t* in = reinterpret_cast<const char16_t*>(text.constData());
    QString out;
    out.reserve(n + n / 4);
    for (qsizetype i = 0; i < n; ++i) {
        const quint16 e = d.entry[in[i]];
        if (e == 0) {
            out.append(QChar(in[i]));
        } else {
            const S4& s = kTable[e - 1];
            out.append(reinterpret_cast<const QChar*>(s.seq), s.len);
        }
    }
    return out;
}

QString utf8mac_from(const QString& text)
{
    const Compose& c = compose();
    const qsizetype n = usableLength(text);
    const char16_t* in = reinterpret_cast<const char16_t*>(text.constData());
    QString out;
    out.reserve(n);
    qsizetype i = 0;
    while (i < n) {
        const qint16 b = c.bucket[in[i]];
        const S4* match = nullptr;
        if (b >= 0) {
            const Compose::Bucket& bucket = c.buckets[size_t(b)];
            for (int len = 4; len >= 2 && !match; --len) {
                if (n - i < len)
                    continue;
                for (const S4* e : bucket.byLen[len]) {
                    if (std::equal(e->seq + 1, e->seq + len, in + i + 1)) {
                        match = e;
                        break;
                    }
                }
            }
        }
        if (match) {
            out.append(QChar(match->ch));
            i += match->len;
        } else {
            out.append(QChar(in[i]));
            ++i;
        }
    }
    return out;
}
