#pragma once

#include <QByteArray>

// How the page's setup part reads and replaces the configuration in the database. Every call
// comes on the page's setup thread and goes through a connection of its own, so that neither a
// slow server nor a locked file holds up the passes; each throws RuntimeError with the
// database's or the check's reason, and then nothing was written.
class ConfigurationAccess
{
public:
    struct Snapshot
    {
        // The configuration document of the database (see configdocument.h).
        QByteArray document;
        // Its fingerprint, to find out at a save whether someone else changed it since.
        QByteArray stand;
    };

    virtual ~ConfigurationAccess() = default;

    virtual Snapshot read() = 0;
    // Replaces the configuration with document's in one transaction, checked as at start-up
    // (a document that fails the checks is a RuntimeError numbered InvalidArgument); false,
    // with nothing written, when it no longer is the one whose fingerprint is stand.
    virtual bool replace(const QByteArray &document, const QByteArray &stand) = 0;
};
