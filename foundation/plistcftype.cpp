#include "foundation/plistcftype.h"

#include <QStringList>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "foundation/plistcftype_p.h"

namespace {

constexpr qint64 kUnixTo2001 = 978307200;

plist_type kindOf(plist_t node)
{
    return node ? plist_get_node_type(node) : PLIST_NONE;
}

// Integer nodes hold 64 bits; the value is read as signed two's complement.
qint64 intValue(plist_t node)
{
    uint64_t v = 0;
    plist_get_uint_val(node, &v);
    return static_cast<qint64>(v);
}

double realValue(plist_t node)
{
    double v = 0;
    plist_get_real_val(node, &v);
    return v;
}

// An integer node's value, or a real node's truncated toward zero (clamped to
// the 64-bit range so that the cast is defined). Empty for NaN or other kinds.
std::optional<qint64> integerOf(plist_t node)
{
    switch (kindOf(node)) {
    case PLIST_UINT:
        return intValue(node);
    case PLIST_REAL: {
        const double d = std::trunc(realValue(node));
        if (std::isnan(d))
            return std::nullopt;
        if (d >= 9223372036854775807.0)
            return std::numeric_limits<qint64>::max();
        if (d <= -9223372036854775808.0)
            return std::numeric_limits<qint64>::min();
        return static_cast<qint64>(d);
    }
    default:
        return std::nullopt;
    }
}

// Readers promise an empty text that is not null.
QString nonNull(const QString& s)
{
    return s.isNull() ? QStringLiteral("") : s;
}

QString textOf(plist_t node)
{
    const plist_type t = kindOf(node);
    if (t == PLIST_STRING) {
        uint64_t len = 0;
        const char* p = plist_get_string_ptr(node, &len);
        return nonNull(p ? QString::fromUtf8(p, qsizetype(len)) : QString());
    }
    if (t == PLIST_KEY) {
        char* k = nullptr;
        plist_get_key_val(node, &k);
        const QString s = k ? QString::fromUtf8(k) : QString();
        free(k);
        return nonNull(s);
    }
    return nonNull(QString());
}

bool isAncestorOrSelf(plist_t candidate, plist_t node)
{
    for (plist_t n = node; n; n = plist_get_parent(n)) {
        if (n == candidate)
            return true;
    }
    return false;
}

} // namespace

PlistCFType::PlistCFType() = default;

PlistCFType::PlistCFType(void* node, bool owned)
    : owner(QSharedPointer<PlistCFTypePrivacy>::create(static_cast<plist_t>(node), owned))
{
}

PlistCFType::PlistCFType(const PlistCFType& other) = default;
PlistCFType& PlistCFType::operator=(const PlistCFType& other) = default;
PlistCFType::~PlistCFType() = default;

void* PlistCFType::ref() const
{
    return owner ? owner->p() : nullptr;
}

bool PlistCFType::isCFNumber() const
{
    const plist_type t = kindOf(ref());
    return t == PLIST_UINT || t == PLIST_REAL;
}

bool PlistCFType::isCFBoolean() const { return kindOf(ref()) == PLIST_BOOLEAN; }
bool PlistCFType::isCFString() const
{
    const plist_type t = kindOf(ref());
    return t == PLIST_STRING || t == PLIST_KEY;
}
bool PlistCFType::isCFData() const { return kindOf(ref()) == PLIST_DATA; }
bool PlistCFType::isCFDate() const { return kindOf(ref()) == PLIST_DATE; }
bool PlistCFType::isCFDictionary() const { return kindOf(ref()) == PLIST_DICT; }
bool PlistCFType::isCFArray() const { return kindOf(ref()) == PLIST_ARRAY; }
bool PlistCFType::isCFKeyedArchiverUID() const { return kindOf(ref()) == PLIST_UID; }

bool PlistCFType::CFNumberBool(bool defaultValue) const
{
    if (!isCFBoolean())
        return defaultValue;
    uint8_t b = 0;
    plist_get_bool_val(ref(), &b);
    return b != 0;
}

char PlistCFType::CFNumberInt8(char defaultValue) const
{
    const auto v = integerOf(ref());
    return v ? static_cast<char>(static_cast<qint8>(quint64(*v) & 0xff)) : defaultValue;
}

short PlistCFType::CFNumberInt16(short defaultValue) const
{
    const auto v = integerOf(ref());
    return v ? static_cast<short>(static_cast<qint16>(quint64(*v) & 0xffff)) : defaultValue;
}

int PlistCFType::CFNumberInt(int defaultValue) const
{
    const auto v = integerOf(ref());
    return v ? static_cast<int>(static_cast<qint32>(quint64(*v) & 0xffffffffu)) : defaultValue;
}

long long PlistCFType::CFNumberInt64(long long defaultValue) const
{
    const auto v = integerOf(ref());
    return v ? *v : defaultValue;
}

double PlistCFType::CFNumberDouble(double defaultValue) const
{
    switch (kindOf(ref())) {
    case PLIST_REAL:
        return realValue(ref());
    case PLIST_UINT:
        return static_cast<double>(intValue(ref()));
    default:
        return defaultValue;
    }
}

float PlistCFType::CFNumberFloat(float defaultValue) const
{
    if (!isCFNumber())
        return defaultValue;
    const double d = CFNumberDouble(0);
    // Out-of-range narrowing is undefined; IEEE would give infinity.
    if (std::isfinite(d) && std::fabs(d) > double(std::numeric_limits<float>::max()))
        return d > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

QString PlistCFType::CFStringQString() const
{
    return textOf(ref());
}

int PlistCFType::CFStringLength() const
{
    return int(CFStringQString().size());
}

QByteArray PlistCFType::CFDataBytes() const
{
    if (!isCFData())
        return QByteArray();
    uint64_t len = 0;
    const char* p = plist_get_data_ptr(ref(), &len);
    return p ? QByteArray(p, qsizetype(len)) : QByteArray();
}

int PlistCFType::CFDataLength() const
{
    return int(CFDataBytes().size());
}

unsigned int PlistCFType::CFKeyedArchiverUIDGetValue() const
{
    if (!isCFKeyedArchiverUID())
        return 0;
    uint64_t v = 0;
    plist_get_uid_val(ref(), &v);
    return static_cast<unsigned int>(v & 0xffffffffu);
}

QDateTime PlistCFType::CFDateToDateTime(int extraSeconds) const
{
    if (!isCFDate())
        return QDateTime();
    const std::optional<double> secs = plistdetail::dateSeconds(ref());
    // Beyond about 30000 years QDateTime and the microsecond arithmetic below
    // stop being meaningful.
    if (!secs || !std::isfinite(*secs) || std::fabs(*secs) > 1e12)
        return QDateTime();
    // Round to whole microseconds first: a millisecond instant stored as
    // seconds + fraction reads back a hair below itself.
    const qint64 micros = std::llround(*secs * 1e6);
    qint64 millis = micros / 1000;
    if (micros % 1000 < 0)
        --millis; // the instant at or before, for dates before 2001 too
    const qint64 unixMs = (kUnixTo2001 + extraSeconds) * 1000 + millis;
    return QDateTime::fromMSecsSinceEpoch(unixMs, Qt::LocalTime);
}

int PlistCFType::typeId() const
{
    switch (kindOf(ref())) {
    case PLIST_BOOLEAN:
        return 21;
    case PLIST_UINT:
    case PLIST_REAL:
        return 22;
    case PLIST_STRING:
    case PLIST_KEY:
        return 7;
    case PLIST_ARRAY:
        return 19;
    case PLIST_DICT:
        return 18;
    case PLIST_DATE:
        return 37;
    case PLIST_DATA:
        return 20;
    case PLIST_UID:
        return 35;
    default:
        return 16;
    }
}

QString PlistCFType::toString() const
{
    plist_t node = ref();
    switch (kindOf(node)) {
    case PLIST_BOOLEAN:
        return CFNumberBool(false) ? QStringLiteral("1") : QStringLiteral("0");
    case PLIST_UINT:
        return QString::number(intValue(node));
    case PLIST_REAL:
        return QString::number(realValue(node), 'g', 6);
    case PLIST_STRING:
    case PLIST_KEY:
        return CFStringQString();
    case PLIST_ARRAY: {
        QStringList parts;
        array_forEach([&](const PlistCFType& item) {
            parts << item.toString();
            return true;
        });
        return QLatin1Char('[') + parts.join(QLatin1String(", ")) + QLatin1Char(']');
    }
    case PLIST_DICT: {
        // Pairs as they stand: a key that is no valid UTF-8 could not be
        // looked up again by its decoded text.
        QStringList parts;
        plistdetail::forEachEntry(node, [&](const char* key, plist_t value) {
            parts << QStringLiteral("%1 : %2").arg(QString::fromUtf8(key), PlistCFType(value, false).toString());
            return true;
        });
        return QLatin1Char('{') + parts.join(QLatin1String(", ")) + QLatin1Char('}');
    }
    case PLIST_DATE:
        return CFDateToDateTime(0).toString(Qt::TextDate);
    case PLIST_DATA:
        return QString::fromLatin1(CFDataBytes().toBase64());
    case PLIST_UID:
        return QString::number(CFKeyedArchiverUIDGetValue());
    default:
        return QStringLiteral("NULL");
    }
}

// ---- creators ----

PlistCFType PlistCFType::createCFBoolean(bool value)
{
    return PlistCFType(plist_new_bool(value ? 1 : 0), true);
}

PlistCFType PlistCFType::createCFNumberInt8(char value)
{
    return createCFNumberInt64(static_cast<qint8>(value));
}

PlistCFType PlistCFType::createCFNumberInt16(short value)
{
    return createCFNumberInt64(value);
}

PlistCFType PlistCFType::createCFNumberInt32(int value)
{
    return createCFNumberInt64(value);
}

PlistCFType PlistCFType::createCFNumberInt64(long long value)
{
    // Negative numbers are stored as their 64-bit two's complement, which both
    // writers give back as the signed value.
    return PlistCFType(plist_new_uint(static_cast<uint64_t>(value)), true);
}

PlistCFType PlistCFType::createCFNumberCFIndex(long value)
{
    return createCFNumberInt64(value);
}

PlistCFType PlistCFType::createCFNumberFloat(float value)
{
    return createCFNumberDouble(value);
}

PlistCFType PlistCFType::createCFNumberDouble(double value)
{
    return PlistCFType(plist_new_real(value), true);
}

PlistCFType PlistCFType::createCFString(const QString& value)
{
    return PlistCFType(plist_new_string(value.toUtf8().constData()), true);
}

PlistCFType PlistCFType::createCFData(const QByteArray& value)
{
    return PlistCFType(plist_new_data(value.constData(), uint64_t(value.size())), true);
}

PlistCFType PlistCFType::createCFDate(const QDateTime& value)
{
    if (!value.isValid())
        return PlistCFType();
    const qint64 ms = value.toMSecsSinceEpoch();
    // Floor division keeps the microseconds non-negative before 2001 too.
    qint64 secs = ms / 1000;
    qint64 rem = ms % 1000;
    if (rem < 0) {
        --secs;
        rem += 1000;
    }
    secs -= kUnixTo2001;
    if (secs >= std::numeric_limits<int32_t>::min() && secs <= std::numeric_limits<int32_t>::max())
        return PlistCFType(plist_new_date(int32_t(secs), int32_t(rem * 1000)), true);
    // libplist's creator takes 32-bit seconds; keep the instant instead of
    // letting it wrap.
    plist_t node = plistdetail::newDate(double(secs) + double(rem) / 1000.0);
    return node ? PlistCFType(node, true) : PlistCFType();
}

PlistCFType PlistCFType::createCFKeyedArchiverUID(long value)
{
    return PlistCFType(plist_new_uid(static_cast<uint64_t>(value)), true);
}

PlistCFType PlistCFType::createCFDictionary()
{
    return PlistCFType(plist_new_dict(), true);
}

PlistCFType PlistCFType::createCFArray()
{
    return PlistCFType(plist_new_array(), true);
}

PlistCFType PlistCFType::createCFDictionary(const QList<PlistCFType>& keys, const QList<PlistCFType>& values)
{
    PlistCFType dict = createCFDictionary();
    const qsizetype n = qMin(keys.size(), values.size());
    for (qsizetype i = 0; i < n; ++i)
        dict.put(keys[i].toString(), values[i]);
    return dict;
}

PlistCFType PlistCFType::createCFArray(const QList<PlistCFType>& items)
{
    PlistCFType array = createCFArray();
    for (const PlistCFType& item : items)
        array.append(item);
    return array;
}

PlistCFType PlistCFType::createCFDictionaryCreateMutableCopy(const PlistCFType& dict)
{
    return dict.isCFDictionary() ? clone(dict) : createCFDictionary();
}

PlistCFType PlistCFType::clone(const PlistCFType& value)
{
    plist_t node = value.ref();
    return node ? PlistCFType(plist_copy(node), true) : PlistCFType();
}

// ---- insertion ----

void* PlistCFType::nodeForInsertion(const PlistCFType& value, bool* handOver) const
{
    plist_t node = value.ref();
    *handOver = false;
    if (!node)
        return nullptr;
    // Linking a node that already has a parent would leave it in two trees
    // (freed twice); a borrowed node belongs to someone else; the container
    // itself or an ancestor would make a cycle.
    const bool free = value.owner->owned && !plist_get_parent(node) && !isAncestorOrSelf(node, ref());
    if (!free)
        return plist_copy(node);
    *handOver = true;
    return node;
}

void PlistCFType::handOver(const PlistCFType& value)
{
    value.owner->owned = false;
}

int PlistCFType::dict_size() const
{
    return isCFDictionary() ? int(plist_dict_get_size(ref())) : 0;
}

QList<PlistCFType> PlistCFType::dict_keys() const
{
    QList<PlistCFType> keys;
    if (!isCFDictionary())
        return keys;
    keys.reserve(dict_size());
    plistdetail::forEachEntry(ref(), [&](const char* key, plist_t) {
        keys << PlistCFType(plist_new_string(key), true);
        return true;
    });
    return keys;
}

void PlistCFType::dict_forEach(const std::function<bool(const QString&, const PlistCFType&)>& f) const
{
    plistdetail::forEachEntry(ref(), [&](const char* key, plist_t value) {
        return f(QString::fromUtf8(key), PlistCFType(value, false));
    });
}

PlistCFType PlistCFType::get(const QString& key) const
{
    if (!isCFDictionary())
        return PlistCFType();
    plist_t item = plist_dict_get_item(ref(), key.toUtf8().constData());
    return item ? PlistCFType(item, false) : PlistCFType();
}

PlistCFType PlistCFType::get(const PlistCFType& key) const
{
    return get(key.toString());
}

PlistCFType& PlistCFType::put(const QString& key, const PlistCFType& value)
{
    if (!isCFDictionary() || value.isNull())
        return *this;
    bool handsOver = false;
    plist_t node = nodeForInsertion(value, &handsOver);
    // libplist 2.2 replaces an existing entry in its place.
    plist_dict_set_item(ref(), key.toUtf8().constData(), node);
    if (handsOver)
        handOver(value);
    return *this;
}

PlistCFType& PlistCFType::put(const PlistCFType& key, const PlistCFType& value)
{
    if (key.isNull())
        return *this;
    return put(key.toString(), value);
}

PlistCFType& PlistCFType::dict_replace(const PlistCFType& key, const PlistCFType& value)
{
    return put(key, value);
}

int PlistCFType::array_size() const
{
    return isCFArray() ? int(plist_array_get_size(ref())) : 0;
}

PlistCFType PlistCFType::at(int index) const
{
    if (index < 0 || index >= array_size())
        return PlistCFType();
    plist_t item = plist_array_get_item(ref(), uint32_t(index));
    return item ? PlistCFType(item, false) : PlistCFType();
}

void PlistCFType::array_forEach(const std::function<bool(const PlistCFType& item)>& f) const
{
    plistdetail::forEachItem(ref(), [&](plist_t item) { return f(PlistCFType(item, false)); });
}

PlistCFType& PlistCFType::append(const PlistCFType& item)
{
    if (!isCFArray() || item.isNull())
        return *this;
    bool handsOver = false;
    plist_t node = nodeForInsertion(item, &handsOver);
    plist_array_append_item(ref(), node);
    if (handsOver)
        handOver(item);
    return *this;
}

PlistCFType& PlistCFType::array_replace(int index, const PlistCFType& item)
{
    if (!isCFArray() || item.isNull() || index < 0 || index >= array_size())
        return *this;
    bool handsOver = false;
    plist_t node = nodeForInsertion(item, &handsOver);
    plist_array_set_item(ref(), node, uint32_t(index));
    if (handsOver)
        handOver(item);
    return *this;
}
