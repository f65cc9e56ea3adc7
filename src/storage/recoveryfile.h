#pragma once

class PendingRows;
class QString;

// The file beside the database that keeps pending rows over the end of the program, so that the
// next start can write them into Werte. It is text, one row a line after a header line:
//   SensorNummer;Zeit;MessWert
//   7;2026-12-05 08:04:09;21.5
// Zeit is the local time of the store that formed the row; MessWert keeps the value exactly.

// "<database>.ausstehend" beside an SQLite file; for a server or an ODBC source
// "Messwerte-<12 hex digits of the name's SHA-1>.ausstehend" in $STATE_DIRECTORY (set by systemd's
// StateDirectory=) or else the working folder.
QString recoveryFilePath(const QString &databasePath);

// Writes all rows as the file's whole content: a temporary file, flushed to disk, then renamed,
// so that the file is either the old one or the new one, never half written. A failure is a
// RuntimeError that names the file.
void writeRecoveryFile(const QString &path, const PendingRows &rows);

// Appends the file's rows to rows, in the file's order; false when there is no file. The whole
// file is checked first: one line that is not a row leaves rows unchanged and is a RuntimeError
// that names the file and the line; the file is left as it is.
bool readRecoveryFile(const QString &path, PendingRows &rows);
