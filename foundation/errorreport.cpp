#include "foundation/errorreport.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QUrl>

#include "foundation/productinfo.h"

namespace {

constexpr const char* kVendorHost = "www.marrowquist.com";
constexpr quint16 kVendorPort = 80;

struct ServerSetting
{
    bool set = false;
    QString host;
    quint16 port = kVendorPort;
};

ServerSetting& serverSetting()
{
    static ServerSetting s;
    return s;
}

ServerSetting effectiveServer()
{
    const ServerSetting& s = serverSetting();
    if (s.set)
        return s;
    ServerSetting r;
    r.set = true;
    if (!qEnvironmentVariableIsSet("CHATFERRY_REPORT_SERVER")) {
        r.host = QLatin1String(kVendorHost);
        return r;
    }
    const QString value = qEnvironmentVariable("CHATFERRY_REPORT_SERVER").trimmed();
    const qsizetype colon = value.lastIndexOf(QLatin1Char(':'));
    r.host = colon < 0 ? value : value.left(colon);
    if (colon >= 0) {
        bool ok = false;
        const uint port = value.mid(colon + 1).toUInt(&ok);
        r.port = ok && port > 0 && port <= 0xffff ? quint16(port) : kVendorPort;
    }
    return r;
}

// One manager for the whole process, owned by the application object so that
// replies still in flight at exit are freed with it.
QNetworkAccessManager* manager()
{
    static QPointer<QNetworkAccessManager> nam;
    if (!nam && QCoreApplication::instance())
        nam = new QNetworkAccessManager(QCoreApplication::instance());
    return nam.data();
}

} // namespace

QString base64_var(QString text)
{
    QByteArray b = text.toUtf8().toBase64();
    b.replace('/', '!');
    b.replace('=', '-');
    return QString::fromLatin1(b);
}

QString errorReport_text(const QString& message)
{
    static const QRegularExpression br(QStringLiteral("< *br */?>"), QRegularExpression::CaseInsensitiveOption);
    QString text = message;
    text.replace(br, QStringLiteral("\r\n"));
    text.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    text.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    return text;
}

QByteArray errorReport_body(const QString& message)
{
    const QString body = QStringLiteral("prod=") + base64_var(g_productTitle()) + QStringLiteral("&ver=")
        + base64_var(g_productVersionPair()) + QStringLiteral("&err=") + base64_var(errorReport_text(message));
    return body.toUtf8();
}

void errorReport_setServer(const QString& host, quint16 port)
{
    ServerSetting& s = serverSetting();
    s.set = true;
    s.host = host;
    s.port = port;
}

QString errorReport_host()
{
    return effectiveServer().host;
}

quint16 errorReport_port()
{
    return effectiveServer().port;
}

void errorReport_send(const QString& message)
{
    const ServerSetting server = effectiveServer();
    QNetworkAccessManager* nam = manager();
    if (server.host.isEmpty() || !nam)
        return;

    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(server.host);
    url.setPort(server.port);
    url.setPath(QStringLiteral("/err_report.php"));
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);

    QNetworkReply* reply = nam->post(request, errorReport_body(message));
    // The answer is of no interest; the reply only has to outlive the request.
    QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
}
