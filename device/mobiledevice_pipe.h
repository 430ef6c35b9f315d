#pragma once

#include <QDeadlineTimer>
#include <QString>

#include "foundation/plistcftype.h"

// Two anonymous pipes for exchanging property lists with a child process:
// requests go out on one, responses come back on the other, each message a
// 4-byte length in the machine's byte order followed by that many bytes of
// property list (XML out; XML or binary in). The time-out (0 or less: no
// limit) bounds each call as a whole, however the child doles out its bytes.
//
// Lengths from the child are checked against PlistCFType::kMaxBytes before
// anything is allocated. A message that cannot be read or written whole (a
// time-out or a closed pipe in its middle, an outsized length), or a
// response that did not come in time (it may still come, and would be taken
// for the answer to the next request), leaves the two sides disagreeing on
// where the next message starts: from then on the pipe is broken, refuses
// every request and response, and says why in errorString(), until close()
// and create() start afresh.
//
// Nothing throws; one object serves one thread.
class mobiledevice_pipe
{
public:
    explicit mobiledevice_pipe(int timeoutMs);
    ~mobiledevice_pipe();
    mobiledevice_pipe(const mobiledevice_pipe&) = delete;
    mobiledevice_pipe& operator=(const mobiledevice_pipe&) = delete;

    bool create();
    bool connect();

    // Raw transfers, each bounded by one time-out: the number of bytes that
    // went through, which may be short.
    int read(char* buffer, int length);
    int write(const char* data, int length, bool sync);

    // An empty (null) request sends nothing and succeeds.
    bool writeRequest(const PlistCFType& request);
    // A null value when no whole, well-formed response arrived.
    PlistCFType readReponse();

    void close();

    bool isBroken() const { return !m_broken.isEmpty(); }
    QString errorString() const { return m_broken; }

    // The child's two ends as decimal numbers, to hand to it on its command
    // line: it reads requests from the first and writes responses to the
    // second. Set by create().
    const QString& requestReadFd() const { return m_requestReadText; }
    const QString& responseWriteFd() const { return m_responseWriteText; }

private:
    QDeadlineTimer deadline() const;
    bool wait(int fd, bool forWrite, const QDeadlineTimer& until);
    int readUntil(char* buffer, int length, const QDeadlineTimer& until);
    int writeUntil(const char* data, int length, bool sync, const QDeadlineTimer& until);
    void breakWith(const QString& reason);

    int m_timeoutMs;
    int m_responseRead = 0;
    int m_responseWrite = 0;
    int m_requestRead = 0;
    int m_requestWrite = 0;
    QString m_requestReadText;
    QString m_responseWriteText;
    QString m_broken;
};
