#pragma once

#include <QByteArray>
#include <QString>

class QIODevice;
struct evp_cipher_ctx_st;
struct evp_cipher_st;

// One OpenSSL cipher context streamed between two devices (or over bytes in
// memory). Local to one operation; not copyable. Counts are 64-bit, so files
// of 2 GiB and more pass whole.
class QOpenSSLEVPAES
{
public:
    QOpenSSLEVPAES();
    ~QOpenSSLEVPAES();
    QOpenSSLEVPAES(const QOpenSSLEVPAES&) = delete;
    QOpenSSLEVPAES& operator=(const QOpenSSLEVPAES&) = delete;

    // An empty key or iv is passed to OpenSSL as no pointer.
    bool init(const evp_cipher_st* cipher, const QByteArray& key, const QByteArray& iv, bool encrypt);
    // Everything `in` yields, through the cipher, into `out`: the bytes
    // written, or -1 with lastError set.
    qint64 updateAll(QIODevice* in, QIODevice* out, int blockSize);
    // The final block: the bytes written, or -1 when it fails. For a
    // decryption a bad padding (a wrong key, a damaged or cut file) fails, so
    // a damaged file never passes as shorter plaintext.
    qint64 finalAll(QIODevice* out, int blockSize);
    // update and final over bytes in memory; false with lastError set.
    bool cryptAll(const QByteArray& in, QByteArray* out);

    // RFC 3394 key wrap (wrap true) or unwrap with the default initial value;
    // the key is 16, 24 or 32 bytes. Empty on any failure, including an
    // unwrap whose integrity check fails (a wrong key).
    static QByteArray aeswrap(const QByteArray& key, const QByteArray& data, bool wrap);

    // AES-128/192/256-CBC by a key of 16, 24 or 32 bytes; null otherwise.
    static const evp_cipher_st* cbcForKey(const QByteArray& key);

    evp_cipher_ctx_st* ctx = nullptr;
    QString lastError;
};
