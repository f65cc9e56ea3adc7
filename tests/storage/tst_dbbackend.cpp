#include "runtime/runtimeerror.h"
#include "storage/dbbackend.h"
#include "storage/postgresbackend.h"

#include <QTest>

// How --database names become connections, before any server is asked: a PostgreSQL URI turned
// into what libpq takes, and every name that must be refused, without its password in the message.
class tst_DbBackend : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void postgresUri_data();
    void postgresUri();
    void refused_data();
    void refused();
};

void tst_DbBackend::postgresUri_data()
{
    QTest::addColumn<QString>("uri");
    QTest::addColumn<QString>("options");
    QTest::newRow("socket folder as parameter, schema")
        << "postgresql://logger@/messwerte?host=/run/postgresql&options=-csearch_path%3Dnord"
        << "user='logger' dbname='messwerte' host='/run/postgresql' options='-csearch_path=nord'";
    QTest::newRow("socket folder in the host part")
        << "postgres://%2Fvar%2Frun%2Fpostgresql/messwerte"
        << "host='/var/run/postgresql' dbname='messwerte'";
    QTest::newRow("IPv6 address, ports, two hosts") << "postgresql://[::1]:5433,db2:5434/x"
                                                    << "host='::1,db2' port='5433,5434' dbname='x'";
    QTest::newRow("plain '=' in a value") << "postgresql:///x?options=-csearch_path=nord,public"
                                          << "dbname='x' options='-csearch_path=nord,public'";
    QTest::newRow("quote and backslash in a value") << "postgresql:///x?application_name=it%27s%5C"
                                                    << "dbname='x' application_name='it\\'s\\\\'";
    QTest::newRow("nothing but the scheme") << "postgresql://"
                                            << "";
}

void tst_DbBackend::postgresUri()
{
    QFETCH(QString, uri);
    QFETCH(QString, options);
    QCOMPARE(PostgresBackend(uri).connectOptions(), options);
}

void tst_DbBackend::refused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("secret");
    QTest::newRow("password in the user part")
        << "postgresql://logger:geheim@db/messwerte"
        << "'postgresql://logger:***@db/messwerte' enthält ein Passwort"
        << "geheim";
    QTest::newRow("password as parameter")
        << "postgres://db/messwerte?sslmode=require&password=geheim"
        << "'postgres://db/messwerte?sslmode=require&password=***' enthält ein Passwort"
        << "geheim";
    QTest::newRow("ODBC PWD") << "odbc:DSN=messwerte;UID=logger;PWD=geheim"
                              << "'odbc:DSN=messwerte;UID=logger;PWD=***' enthält ein Passwort"
                              << "geheim";
    QTest::newRow("ODBC password in braces")
        << "odbc:DRIVER={X};Password={ge;heim};DBQ=a.mdb"
        << "'odbc:DRIVER={X};Password=***;DBQ=a.mdb' enthält ein Passwort"
        << "heim";
    QTest::newRow("';' in a value, which the driver would make a blank")
        << "postgresql:///db?application_name=a%3Bb"
        << "ein ';' im Wert von 'application_name'"
        << "";
    QTest::newRow("unclosed IPv6 address") << "postgresql://[::1/db"
                                           << "']' fehlt"
                                           << "";
    QTest::newRow("ODBC without a source") << "odbc:"
                                           << "Nach 'odbc:' fehlt"
                                           << "";
}

void tst_DbBackend::refused()
{
    QFETCH(QString, name);
    QFETCH(QString, message);
    QFETCH(QString, secret);
    try {
        DbBackend::forName(name);
        QFAIL("accepted");
    } catch (const RuntimeError &error) {
        QVERIFY2(error.description().contains(message), qPrintable(error.description()));
        QVERIFY(secret.isEmpty() || !error.description().contains(secret));
    }
}

QTEST_GUILESS_MAIN(tst_DbBackend)
#include "tst_dbbackend.moc"
