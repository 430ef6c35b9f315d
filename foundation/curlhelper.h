#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>

class QIODevice;
struct curl_slist;

// A small blocking HTTP client over one libcurl easy handle.
//
// Use: one request operation, then optionally the limits, then one response
// operation; then statusCode(), statusText() and respHeaders() describe the
// answer. Every request operation starts from a clean handle, so nothing of
// an earlier request (body, upload mode, limits, headers) carries over; the
// CA file, cookie file and MD5 switch are settings of the object and stay.
// Certificates and host names are always verified.
//
// stop(), isStopped(), totalSent() and totalRecv() may be called from any
// thread at any time; everything else belongs to the thread that uses the
// object.
class CURLHelper
{
public:
    // Limits every request starts with: a transfer that takes longer, or an
    // answer body larger, fails.
    static constexpr int kDefaultTimeoutMs = 60 * 1000;
    static constexpr qint64 kDefaultMaxBodySize = qint64(64) * 1024 * 1024;

    CURLHelper();
    ~CURLHelper();
    CURLHelper(const CURLHelper&) = delete;
    CURLHelper& operator=(const CURLHelper&) = delete;

    // Initialises libcurl (SSL included) once per process; safe to call from
    // several threads.
    static void initLibCurl();

    // A GET, or a POST of body when it is not empty. False only when no
    // libcurl handle can be had.
    bool request(const QByteArray& url, const QByteArray& body = QByteArray(),
                 const QList<QByteArray>& headers = QList<QByteArray>());
    // A POST of the fields as a form (a GET when there are none).
    bool request(const QByteArray& url, const QHash<QByteArray, QByteArray>& fields,
                 const QList<QByteArray>& headers);
    // An upload (for HTTP a PUT) of size bytes read from source, which must
    // stay alive until the response operation returns.
    bool request(const QByteArray& url, QIODevice& source, qint64 size, const QList<QByteArray>& headers);

    // Limits of the current request; a request operation sets them back to
    // their defaults (no connect limit of our own, kDefaultTimeoutMs overall,
    // kDefaultMaxBodySize). A value of 0 or less means no limit.
    void setConnectTimeout(int seconds);
    void setConnectTimeoutMs(int milliseconds);
    void setTimeout(int seconds);
    void setTimeoutMs(int milliseconds);
    void setMaxBodySize(qint64 bytes);

    // Trust exactly the certificates of this PEM file instead of the
    // system's; empty goes back to the system's.
    void setCaFile(const QByteArray& path);
    // Cookies are read from and stored to this file; empty means no cookies.
    void setCookieFile(const QByteArray& path);
    // When on, the MD5 of each received body is kept (md5Result()).
    void setMd5Enabled(bool enabled);
    QByteArray md5Result() const;

    // Performs the transfer, writing the answer's body to target (open for
    // writing). Throws std::runtime_error "CURL: <libcurl's text>" when the
    // transfer fails, a stop or an exceeded limit included; the head received
    // until then is parsed first. An HTTP error status is no failure.
    void responseThrow(QIODevice& target);
    QByteArray responseBytesThrow();

    void stop();
    bool isStopped() const;
    qint64 totalSent() const;
    qint64 totalRecv() const;

    int statusCode() const { return m_statusCode; }
    QString statusText() const { return m_statusText; }
    QHash<QByteArray, QByteArray> respHeaders() const { return m_respHeaders; }

    // The form body of fields: key=value pairs joined by "&", in key order,
    // every byte other than letters, digits and "-._~" percent-encoded once.
    static QByteArray encodeUrlData(const QHash<QByteArray, QByteArray>& fields);

private:
    bool reset();
    bool requestBase(const QByteArray& url, const QList<QByteArray>& headers);
    void parseHead(const QByteArray& head);
    static size_t readDataIO(char* buffer, size_t size, size_t count, void* object);
    static size_t writeDataIO(char* data, size_t size, size_t count, void* object);

    mutable QMutex m_mutex;
    void* m_curl = nullptr; // libcurl's CURL, owned
    QByteArray m_url;
    // libcurl reads the POST body from here during the transfer.
    QByteArray m_postData;
    QHash<QByteArray, QByteArray> m_respHeaders;
    int m_statusCode = 0;
    QString m_statusText;
    QByteArray m_cookieFile;
    QByteArray m_caFile;
    curl_slist* m_headerList = nullptr;
    bool m_stopped = false;
    QIODevice* m_outDevice = nullptr;
    QIODevice* m_inDevice = nullptr;
    qint64 m_sentBytes = 0;
    qint64 m_recvBytes = 0;
    bool m_md5Enabled = false;
    QCryptographicHash m_md5{QCryptographicHash::Md5};
    int m_connectTimeoutMs = 0;
    int m_timeoutMs = kDefaultTimeoutMs;
    qint64 m_maxBodySize = kDefaultMaxBodySize;
    bool m_bodyTooLarge = false;
};
