#pragma once

#include <QHash>
#include <QList>
#include <QString>

// The rows of Einstellungen that set an option beyond the two cycle settings (the parallel pass,
// the status page, the alerts), as EinstellungenLesen found them: for each name the value of the
// last row with it, and that row's number, so that a part which finds the value wrong can name
// the row. Each part declares its own names and reads its own values.
class SettingRows
{
public:
    enum class Kind {
        Number,
        Text,
    };
    struct Name
    {
        QString name;
        Kind kind;
    };

    bool contains(const QString &name) const { return m_values.contains(name); }
    // The value of the last row with this Parameter; fallback (or the empty text) without one.
    qint32 number(const QString &name, qint32 fallback) const;
    QString text(const QString &name) const;
    // Whether any row set a name that begins with prefix ("Alarm").
    bool anyStartingWith(const QString &prefix) const;

    // A value its part refuses: the RuntimeError names the table, the row the value came from and
    // the column Wert, as the loaders' errors do.
    [[noreturn]] void wrong(const QString &name, const QString &why) const;

    void set(const QString &name, qint32 row, qint32 number, const QString &text);

private:
    struct Value
    {
        qint32 row = 0;
        qint32 number = 0;
        QString text;
    };
    QHash<QString, Value> m_values;
};
