#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>

// The one writer of the program's messages for whoever runs it: errors, warnings and notices go
// to stderr, each line "<program>: <text>". When stderr is the journal (systemd's JOURNAL_STREAM
// names the stream stderr is), every line carries the sd-daemon(3) priority prefix, so that
// `journalctl -p warning` shows exactly the failures; on a terminal lines stay plain. The pass
// log is no message: it goes to stdout. Safe from any thread; a line is never split by another.
namespace Journal {

enum class Priority {
    Error = 3,
    Warning = 4,
    Notice = 5,
    Info = 6,
    Debug = 7,
};

// text may span several lines; each is written with the priority.
void write(Priority priority, const QString &text);
// Lines as they stand, without the program's name: rows in the form of a file that could not
// take them, so that they can be copied back from the journal. Each line gets the priority.
void writeLines(Priority priority, const QByteArray &lines);

// The name before each line when there is no application object yet (or it has none).
void setProgramName(const QString &name);

// text with every control character (line breaks, escapes, NUL) made a blank: for a name from
// the database or a device inside a line, so that it can neither begin a line of its own nor
// move the terminal's cursor.
QString plain(QString text);

// Where the lines go instead of stderr; for tests. Null goes back to stderr.
void redirect(std::FILE *target);

} // namespace Journal
