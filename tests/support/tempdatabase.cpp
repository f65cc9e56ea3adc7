#include "tempdatabase.h"

TempDatabase::TempDatabase(bool withSchema)
    : SqlFixture(QStringLiteral("QSQLITE"), [this](QSqlDatabase &db) {
          db.setDatabaseName(path());
          // The program may be writing at the same moment.
          db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
      })
{
    if (!m_dir.isValid()) {
        qFatal("no temporary folder");
    }
    if (withSchema) {
        exec(fileText(QStringLiteral(PELVARO_SCHEMA_SQL)));
    }
}
