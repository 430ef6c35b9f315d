#include "foundation/curlhelper.h"

#include <QBuffer>
#include <QMutexLocker>
#include <QRegularExpression>

#include <curl/curl.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <stdexcept>

namespace {

// A server that sends an endless head must not fill memory.
constexpr int kMaxHeadSize = 1024 * 1024;

int secondsToMs(int seconds)
{
    return int(std::clamp<qint64>(qint64(seconds) * 1000, 0, INT_MAX));
}

CURL* handleOf(void* curl)
{
    return static_cast<CURL*>(curl);
}

[[noreturn]] void throwCurl(CURLcode code)
{
    throw std::runtime_error(std::string("CURL: ") + curl_easy_strerror(code));
}

size_t header_callback(char* data, size_t size, size_t count, void* head)
{
    auto* bytes = static_cast<QByteArray*>(head);
    const size_t n = size * count;
    if (bytes->size() + qint64(n) > kMaxHeadSize)
        return 0;
    bytes->append(data, qsizetype(n));
    return n;
}

// Lets stop() end a transfer even while the server sends nothing.
int progress_callback(void* object, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<const CURLHelper*>(object)->isStopped() ? 1 : 0;
}

} // namespace

CURLHelper::CURLHelper()
{
    initLibCurl();
}

CURLHelper::~CURLHelper()
{
    if (m_curl)
        curl_easy_cleanup(handleOf(m_curl));
    curl_slist_free_all(m_headerList);
}

void CURLHelper::initLibCurl()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

bool CURLHelper::reset()
{
    if (!m_curl)
        m_curl = curl_easy_init();
    if (!m_curl)
        return false;
    // Back to a clean handle; it keeps only its connection and DNS caches.
    curl_easy_reset(handleOf(m_curl));
    curl_slist_free_all(m_headerList);
    m_headerList = nullptr;
    m_url.clear();
    m_postData.clear();
    m_inDevice = nullptr;
    m_outDevice = nullptr;
    m_respHeaders.clear();
    m_statusCode = 0;
    m_statusText.clear();
    m_md5.reset();
    m_connectTimeoutMs = 0;
    m_timeoutMs = kDefaultTimeoutMs;
    m_maxBodySize = kDefaultMaxBodySize;
    m_bodyTooLarge = false;
    QMutexLocker lock(&m_mutex);
    m_stopped = false;
    m_sentBytes = 0;
    m_recvBytes = 0;
    return true;
}

bool CURLHelper::requestBase(const QByteArray& url, const QList<QByteArray>& headers)
{
    if (!reset())
        return false;
    CURL* curl = handleOf(m_curl);
    // No signals: the transfer may run on any thread.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!m_caFile.isEmpty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, m_caFile.constData());
    m_url = url;
    curl_easy_setopt(curl, CURLOPT_URL, m_url.constData());
    for (const QByteArray& line : headers) {
        curl_slist* longer = curl_slist_append(m_headerList, line.constData());
        if (!longer)
            return false;
        m_headerList = longer;
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, m_headerList);
    return true;
}

bool CURLHelper::request(const QByteArray& url, const QByteArray& body, const QList<QByteArray>& headers)
{
    QList<QByteArray> lines = headers;
    if (!body.isEmpty())
        lines << "Content-Length: " + QByteArray::number(body.size());
    if (!requestBase(url, lines))
        return false;
    m_postData = body;
    if (!m_postData.isEmpty()) {
        CURL* curl = handleOf(m_curl);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(m_postData.size()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, m_postData.constData());
    }
    return true;
}

bool CURLHelper::request(const QByteArray& url, const QHash<QByteArray, QByteArray>& fields,
                         const QList<QByteArray>& headers)
{
    return request(url, encodeUrlData(fields), headers);
}

bool CURLHelper::request(const QByteArray& url, QIODevice& source, qint64 size, const QList<QByteArray>& headers)
{
    QList<QByteArray> lines = headers;
    lines << "Content-Length: " + QByteArray::number(size);
    if (!requestBase(url, lines))
        return false;
    m_inDevice = &source;
    CURL* curl = handleOf(m_curl);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, &CURLHelper::readDataIO);
    curl_easy_setopt(curl, CURLOPT_READDATA, this);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(size));
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    return true;
}

void CURLHelper::setConnectTimeout(int seconds)
{
    setConnectTimeoutMs(secondsToMs(seconds));
}

void CURLHelper::setConnectTimeoutMs(int milliseconds)
{
    m_connectTimeoutMs = qMax(0, milliseconds);
}

void CURLHelper::setTimeout(int seconds)
{
    setTimeoutMs(secondsToMs(seconds));
}

void CURLHelper::setTimeoutMs(int milliseconds)
{
    m_timeoutMs = qMax(0, milliseconds);
}

void CURLHelper::setMaxBodySize(qint64 bytes)
{
    m_maxBodySize = qMax<qint64>(0, bytes);
}

void CURLHelper::setCaFile(const QByteArray& path)
{
    m_caFile = path;
}

void CURLHelper::setCookieFile(const QByteArray& path)
{
    m_cookieFile = path;
}

void CURLHelper::setMd5Enabled(bool enabled)
{
    m_md5Enabled = enabled;
}

QByteArray CURLHelper::md5Result() const
{
    return m_md5.result();
}

size_t CURLHelper::readDataIO(char* buffer, size_t size, size_t count, void* object)
{
    auto* self = static_cast<CURLHelper*>(object);
    if (self->isStopped() || !self->m_inDevice)
        return CURL_READFUNC_ABORT;
    const qint64 n = self->m_inDevice->read(buffer, qint64(size * count));
    if (n < 0)
        return CURL_READFUNC_ABORT;
    QMutexLocker lock(&self->m_mutex);
    self->m_sentBytes += n;
    return size_t(n);
}

size_t CURLHelper::writeDataIO(char* data, size_t size, size_t count, void* object)
{
    auto* self = static_cast<CURLHelper*>(object);
    const qint64 n = qint64(size * count);
    // Returning fewer bytes than offered makes libcurl end with a write error.
    if (self->isStopped() || !self->m_outDevice)
        return 0;
    if (self->m_maxBodySize > 0 && self->totalRecv() + n > self->m_maxBodySize) {
        self->m_bodyTooLarge = true;
        return 0;
    }
    const qint64 written = self->m_outDevice->write(data, n);
    if (written <= 0)
        return 0;
    if (self->m_md5Enabled)
        self->m_md5.addData(QByteArrayView(data, written));
    QMutexLocker lock(&self->m_mutex);
    self->m_recvBytes += written;
    return size_t(written);
}

void CURLHelper::responseThrow(QIODevice& target)
{
    if (!m_curl)
        throw std::runtime_error("CURL: no request was prepared");
    CURL* curl = handleOf(m_curl);
    m_outDevice = &target;
    QByteArray head;
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CURLHelper::writeDataIO);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &header_callback);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &head);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &progress_callback);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    if (!m_cookieFile.isEmpty()) {
        curl_easy_setopt(curl, CURLOPT_COOKIEFILE, m_cookieFile.constData());
        curl_easy_setopt(curl, CURLOPT_COOKIEJAR, m_cookieFile.constData());
    }
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(m_connectTimeoutMs));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(m_timeoutMs));
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(m_maxBodySize));
    m_bodyTooLarge = false;

    const CURLcode rc = curl_easy_perform(curl);

    // The head buffer is about to go out of scope.
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, nullptr);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, nullptr);
    if (!m_cookieFile.isEmpty()) {
        curl_easy_setopt(curl, CURLOPT_COOKIELIST, "FLUSH");
        // Between requests cookies live only in the file. Unsetting both also
        // matters because libcurl 7.88 leaks its list of cookie files when a
        // handle that still holds one is reset.
        curl_easy_setopt(curl, CURLOPT_COOKIEJAR, nullptr);
        curl_easy_setopt(curl, CURLOPT_COOKIEFILE, nullptr);
    }
    parseHead(head);
    if (m_bodyTooLarge)
        throwCurl(CURLE_FILESIZE_EXCEEDED);
    if (rc != CURLE_OK)
        throwCurl(rc);
}

QByteArray CURLHelper::responseBytesThrow()
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    responseThrow(buffer);
    buffer.close();
    return buffer.data();
}

void CURLHelper::parseHead(const QByteArray& head)
{
    static const QRegularExpression statusLine(QStringLiteral("^HTTP[^ ]+ (\\d+) ?(.*)$"),
                                               QRegularExpression::CaseInsensitiveOption);
    m_respHeaders.clear();
    m_statusCode = 0;
    m_statusText.clear();
    // Interim answers (100 Continue, 103 Early Hints) come first; the last
    // status line wins, and only the header lines after it belong to the
    // answer.
    for (QByteArray line : head.split('\n')) {
        while (line.endsWith('\r'))
            line.chop(1);
        const QRegularExpressionMatch m = statusLine.match(QString::fromLatin1(line));
        if (m.hasMatch()) {
            m_respHeaders.clear();
            m_statusCode = m.captured(1).toInt();
            m_statusText = m.captured(2).trimmed();
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            m_respHeaders.insert(line.left(colon).trimmed(), line.mid(colon + 1).trimmed());
    }
}

void CURLHelper::stop()
{
    QMutexLocker lock(&m_mutex);
    m_stopped = true;
}

bool CURLHelper::isStopped() const
{
    QMutexLocker lock(&m_mutex);
    return m_stopped;
}

qint64 CURLHelper::totalSent() const
{
    QMutexLocker lock(&m_mutex);
    return m_sentBytes;
}

qint64 CURLHelper::totalRecv() const
{
    QMutexLocker lock(&m_mutex);
    return m_recvBytes;
}

QByteArray CURLHelper::encodeUrlData(const QHash<QByteArray, QByteArray>& fields)
{
    // Sorted, so the same fields always give the same body.
    QList<QByteArray> keys = fields.keys();
    std::sort(keys.begin(), keys.end());
    QByteArray body;
    for (const QByteArray& key : keys) {
        if (!body.isEmpty())
            body += '&';
        body += key.toPercentEncoding() + '=' + fields.value(key).toPercentEncoding();
    }
    return body;
}
