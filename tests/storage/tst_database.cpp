#include "storage/datenbankverbindung.h"
#include "storage/registry.h"
#include "support/recordingview.h"
#include "support/tempdatabase.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

#include <algorithm>

// How a store behaves when the file is locked, refused or gone is in tst_mittelwerte; here the
// file itself.
class tst_Database : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void closingReleasesTheFile();
};

void tst_Database::closingReleasesTheFile()
{
    // Whether this process has the file open, as the operating system sees it.
    const auto processHolds = [](const QString &path) {
        const QString target = QFileInfo(path).canonicalFilePath();
        const QDir fds(QStringLiteral("/proc/self/fd"));
        const QStringList entries =
            fds.entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files);
        return std::any_of(entries.cbegin(), entries.cend(), [&](const QString &fd) {
            return QFileInfo(fds.filePath(fd)).symLinkTarget() == target;
        });
    };
    TempDatabase database;
    Registry registry;
    RecordingView view;
    DatenbankOeffnen(registry, view, database.path());
    QVERIFY(processHolds(database.path()));
    view.timerEvents.clear();
    DatenbankSchliessen(registry, view);
    QVERIFY(!registry.Datenbank);
    QVERIFY(!processHolds(database.path()));
    // The timer goes off before the close, so no tick can meet a closed database.
    QCOMPARE(view.timerEvents, QStringList{QStringLiteral("off")});
}

QTEST_GUILESS_MAIN(tst_Database)
#include "tst_database.moc"
