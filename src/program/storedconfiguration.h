#pragma once

#include "statuspage/configurationaccess.h"

#include <QString>

// The configuration of the database the program runs on, for the page's setup part: each call
// opens the database afresh on the calling thread and closes it again.
class StoredConfiguration : public ConfigurationAccess
{
public:
    explicit StoredConfiguration(QString databasePath) : m_databasePath(std::move(databasePath)) {}

    Snapshot read() override;
    bool replace(const QByteArray &document, const QByteArray &stand) override;

private:
    QString m_databasePath;
};
