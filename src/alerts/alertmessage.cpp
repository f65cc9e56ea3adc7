#include "alertmessage.h"

#include "alertconditions.h"
#include "runtime/timeformats.h"
#include "runtime/version.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <cmath>

namespace {

// Discord refuses longer contents.
constexpr qsizetype kDiscordLimit = 2000;
// Gotify: 8 and above is a notification that makes itself heard.
constexpr int kPriorityAlarm = 8;
constexpr int kPriorityAllClear = 4;
// Raw bytes per RFC 2047 word: 60 base64 characters, so the word stays within 75.
constexpr qsizetype kEncodedWordBytes = 45;

const QString kCrLf = QStringLiteral("\r\n");

// The text as RFC 2047 encoded words, folded: whatever it holds, it stays one header field.
QByteArray encodedWords(const QString &text)
{
    QByteArray words;
    QByteArray word;
    const auto flush = [&] {
        if (!word.isEmpty()) {
            words += (words.isEmpty() ? "" : "\r\n ") + QByteArray("=?UTF-8?B?") + word.toBase64()
                     + "?=";
            word.clear();
        }
    };
    // Whole characters only: a word must not end inside one.
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype length = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        const QByteArray character = text.mid(i, length).toUtf8();
        i += length - 1;
        if (word.size() + character.size() > kEncodedWordBytes) {
            flush();
        }
        word += character;
    }
    flush();
    return words;
}

QByteArray base64Lines(const QByteArray &data)
{
    const QByteArray encoded = data.toBase64();
    QByteArray lines;
    for (qsizetype at = 0; at < encoded.size(); at += 76) {
        lines += encoded.mid(at, 76) + "\r\n";
    }
    return lines;
}

// ISO 8601 with the offset from UTC, so a script far away reads the same moment.
QString isoTime(const QDateTime &time)
{
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODate);
}

QString kindName(const AlertEvent &event)
{
    switch (event.kind) {
    case AlertEvent::Kind::Device:
        return QStringLiteral("device");
    case AlertEvent::Kind::Limit:
        return QStringLiteral("limit");
    case AlertEvent::Kind::Store:
        break;
    }
    return QStringLiteral("store");
}

QString eventLines(const QList<AlertEvent> &events)
{
    QStringList lines;
    for (const AlertEvent &event : events) {
        lines << alertLine(event);
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace

QString alertLine(const AlertEvent &event)
{
    return (event.begins ? QStringLiteral("Alarm: ") : QStringLiteral("Entwarnung: ")) + event.text;
}

QString alertSubject(const QList<AlertEvent> &events, const QString &host)
{
    QStringList begun;
    QStringList ended;
    for (const AlertEvent &event : events) {
        const QString what =
            event.kind == AlertEvent::Kind::Store ? QStringLiteral("Speichern") : event.name;
        (event.begins ? begun : ended) << what;
    }
    QStringList parts;
    if (!begun.isEmpty()) {
        parts << QStringLiteral("Alarm für ") + begun.join(QStringLiteral(", "));
    }
    if (!ended.isEmpty()) {
        parts << QStringLiteral("Entwarnung für ") + ended.join(QStringLiteral(", "));
    }
    QString subject =
        QStringLiteral("Pelvaro auf %1: %2").arg(host, parts.join(QStringLiteral("; ")));
    if (subject.size() > 150) {
        subject = subject.left(149) + QChar(0x2026);
    }
    return subject;
}

QByteArray mailMessage(const QList<AlertEvent> &events, const QString &host,
                       const QString &databaseName, const QString &from, const QStringList &to,
                       const QDateTime &date)
{
    QString body;
    for (const AlertEvent &event : events) {
        body +=
            TimeFormat::passLogText(event.time) + QStringLiteral("  ") + alertLine(event) + kCrLf;
    }
    body += kCrLf
            + QStringLiteral("Pelvaro %1 auf %2, Datenbank %3. Pelvaro meldet jeden Alarm "
                             "einmal, wenn er beginnt, und einmal, wenn er endet.")
                  .arg(QString::fromLatin1(pelvaroVersion), host, databaseName)
            + kCrLf;
    const QByteArray domain = from.section(QLatin1Char('@'), 1).toLatin1();
    QByteArray message;
    // The addresses are checked at start-up: ASCII, no blanks or line breaks.
    message += "Date: " + date.toString(Qt::RFC2822Date).toLatin1() + "\r\n";
    message += "From: Pelvaro <" + from.toLatin1() + ">\r\n";
    message += "To: " + to.join(QStringLiteral(", ")).toLatin1() + "\r\n";
    message += "Subject: " + encodedWords(alertSubject(events, host)) + "\r\n";
    message += "Message-ID: <" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces) + "@"
               + domain + ">\r\n";
    message += "Auto-Submitted: auto-generated\r\n";
    message += "MIME-Version: 1.0\r\n";
    message += "Content-Type: text/plain; charset=UTF-8\r\n";
    message += "Content-Transfer-Encoding: base64\r\n\r\n";
    message += base64Lines(body.toUtf8());
    return message;
}

QByteArray webhookBody(const QList<AlertEvent> &events, const QString &host)
{
    QJsonArray alerts;
    bool begins = false;
    for (const AlertEvent &event : events) {
        begins = begins || event.begins;
        QJsonObject alert{{QStringLiteral("begins"), event.begins},
                          {QStringLiteral("kind"), kindName(event)},
                          {QStringLiteral("time"), isoTime(event.time)},
                          {QStringLiteral("text"), event.text}};
        if (event.kind != AlertEvent::Kind::Store) {
            alert.insert(QStringLiteral("number"), event.number);
            alert.insert(QStringLiteral("name"), event.name);
        }
        if (!event.reason.isEmpty()) {
            alert.insert(QStringLiteral("reason"), event.reason);
        }
        if (!std::isnan(event.value)) {
            alert.insert(QStringLiteral("value"), event.value);
            alert.insert(QStringLiteral("limit"), event.limit);
        }
        alerts.append(alert);
    }
    const QString title = alertSubject(events, host);
    const QString lines = eventLines(events);
    QString content = title + QLatin1Char('\n') + lines;
    if (content.size() > kDiscordLimit) {
        content = content.left(kDiscordLimit - 1) + QChar(0x2026);
    }
    const QJsonObject body{
        {QStringLiteral("text"), title + QLatin1Char('\n') + lines},
        {QStringLiteral("content"), content},
        {QStringLiteral("title"), title},
        {QStringLiteral("message"), lines},
        {QStringLiteral("priority"), begins ? kPriorityAlarm : kPriorityAllClear},
        {QStringLiteral("host"), host},
        {QStringLiteral("alerts"), alerts}};
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}
