#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class QDateTime;
struct AlertEvent;

// The texts of the alerts of one pass, the same events in each form. Names in the events carry no
// control characters (see AlertConditions), and nothing here puts text from the database into a
// mail header except through an RFC 2047 encoded word.

// The pass log's and the journal's line: "Alarm: <text>" or "Entwarnung: <text>".
QString alertLine(const AlertEvent &event);

// One short line for a subject or title: "Pelvaro auf <host>: Alarm für Heizung, Keller".
QString alertSubject(const QList<AlertEvent> &events, const QString &host);

// A complete RFC 5322 message: Date, From, To, Subject (RFC 2047), Message-ID, MIME 1.0 with a
// UTF-8 text body in base64, Auto-Submitted; CR LF line ends. to is not empty.
QByteArray mailMessage(const QList<AlertEvent> &events, const QString &host,
                       const QString &databaseName, const QString &from, const QStringList &to,
                       const QDateTime &date);

// The JSON object posted to a webhook: "text" (Slack, Mattermost), "content" (Discord, at most
// 2000 characters), "title", "message" and "priority" (Gotify), then for scripts "host" and
// "alerts", one object per event with "begins", "kind" ("device", "limit", "store"), "time"
// (ISO 8601 with offset), "number", "name", "value", "limit", "text" and, for a device that
// begins to fail, "reason" (the keyword of FetchFailure).
QByteArray webhookBody(const QList<AlertEvent> &events, const QString &host);
