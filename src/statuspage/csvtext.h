#pragma once

#include <QByteArray>
#include <QString>

class QVariant;

// The lines of /werte.csv: UTF-8 with a byte order mark (so that a spreadsheet takes the umlauts
// of the names as such) and a header row, CR LF line ends as RFC 4180 has them. International
// form: ',' between fields and '.' in numbers; German form: ';' and a decimal comma, as German
// spreadsheets expect. A field that holds the separator, a quote or a line break is quoted, and
// one that a spreadsheet would take for a formula (it begins with =, +, -, @, a tab or a CR) gets
// a leading apostrophe, so that names from the database never run as formulas.
class CsvText
{
public:
    explicit CsvText(bool german) : m_separator(german ? ';' : ','), m_german(german) {}

    QByteArray head() const;
    // One row. zeit and wert as the driver returned them: a number is written as a number, a
    // time as "2026-12-07 14:30:05" (which spreadsheets take for a date), anything else as text.
    void appendRow(QByteArray &out, qint32 sensorNummer, const QString &sensor,
                   const QString &geraet, const QVariant &zeit, const QVariant &wert) const;

    QString field(const QString &text) const;

private:
    char m_separator;
    bool m_german;
};
