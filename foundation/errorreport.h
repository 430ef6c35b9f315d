#pragma once

#include <QByteArray>
#include <QString>

// The short error report that every error notice sends to the vendor web
// server: a form POST to "/err_report.php", sent in the background; nobody
// waits for it or reads the answer.

// The report's field encoding: standard Base64 of the UTF-8 bytes with "/"
// turned into "!" and "=" into "-". Nothing else is escaped, not even "+".
QString base64_var(QString text);

// The message as the report carries it: every br tag (any case, blanks
// around the name, with or without the closing slash) becomes CR LF, then
// "<" and ">" become "&lt;" and "&gt;".
QString errorReport_text(const QString& message);

// "prod=...&ver=...&err=..." as UTF-8, each value through base64_var.
QByteArray errorReport_body(const QString& message);

// Where reports go. Until a setter call, the environment variable
// CHATFERRY_REPORT_SERVER ("host" or "host:port") names the server, else the
// vendor's; an empty host sends nothing.
void errorReport_setServer(const QString& host, quint16 port);
QString errorReport_host();
quint16 errorReport_port();

// Queues the report on the GUI thread's event loop and returns at once. The
// request object frees itself once the exchange has ended.
void errorReport_send(const QString& message);
