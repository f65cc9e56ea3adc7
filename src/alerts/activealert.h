#pragma once

#include <QDateTime>
#include <QString>

// An alert condition that began and has not ended yet, as those who watch the program show it.
struct ActiveAlert
{
    QDateTime since;
    // One line in German, naming the device or sensor by name and number.
    QString text;
};
