#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// The program's run-time error: a failed database or network operation, an index outside a
// table's range, an overflow, a failed conversion. It carries a number and a German description
// and ends the program; it is caught only where ProgramHost runs a handler (start-up, the end
// button or a signal, the timer's tick), never by the code that throws it.
class RuntimeError : public std::exception
{
public:
    RuntimeError(int number, QString description);

    int number() const { return m_number; }
    QString description() const { return m_description; }
    // "Laufzeitfehler <number>: <description>", the text the user is shown.
    QString message() const;
    const char *what() const noexcept override { return m_what.constData(); }

    // The same error, its description prefixed by where it happened ("Tabelle 'Geraete', Zeile 3").
    RuntimeError withContext(const QString &where) const;

private:
    int m_number;
    QString m_description;
    QByteArray m_what;
};

// Error numbers, after the platform the program was first written for, so that users who know
// those numbers recognise them.
namespace ErrorNumber {
constexpr int InvalidArgument = 5;
constexpr int Overflow = 6;
constexpr int OutOfMemory = 7;
constexpr int SubscriptOutOfRange = 9;
constexpr int TypeMismatch = 13;
constexpr int ObjectNotSet = 91;
constexpr int InvalidUseOfNull = 94;
constexpr int NoCurrentRecord = 3021;
constexpr int FileNotFound = 3024;
constexpr int DiskOrNetworkError = 3043;
constexpr int CannotOpenFile = 3051;
constexpr int TableNotFound = 3078;
constexpr int StatementFailed = 3146;
constexpr int ConnectionFailed = 3151;
constexpr int NotSupported = 3251;
constexpr int ItemNotFound = 3265;
constexpr int UnrecognisedDatabaseFormat = 3343;
constexpr int CloseFailed = 3420;
// The socket control's numbers, for the status page's address.
constexpr int AddressInUse = 10048;
constexpr int AddressNotAvailable = 10049;
} // namespace ErrorNumber

// Thrown by a message pump when the program has begun to end (the end button, a closed window, a
// signal), so that the operation that pumped goes no further. It is no error and deliberately not
// a std::exception, so that no handler for errors swallows it.
struct ProgramEnd
{
};
