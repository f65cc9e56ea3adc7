#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The name and password of an HTTP Basic Authorization header: "Basic " and the base64 of
// "name:password", where the password may hold further colons and both are UTF-8.
struct BasicCredentials
{
    QString name;
    QByteArray password;

    // Nothing when the header is of another scheme, its base64 does not decode, or the decoded
    // text has no colon.
    static std::optional<BasicCredentials> parse(const QByteArray &header);
};
