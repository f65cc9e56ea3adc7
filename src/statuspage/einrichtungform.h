#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// The setup form as the page sends it, checked field by field and turned into a configuration
// document (configdocument.h). It is the document with two differences: a device has a
// "schluessel" of the page's choosing, and a sensor names its device by that key instead of by
// position, so that positions follow from the order of the devices as saved (a device removed
// from the middle moves the later ones' sensors with them); and a sensor the user added is marked
// "neu". Each fault names its field as "Geraete[2].IP", counting from 0 in the form's lists.
//
// What the checks of start-up would refuse is refused here with the field named; beyond them,
// what no device or sensor can sensibly be given: a name with a line break or NUL, or longer than
// kMaxName characters, an address with a scheme, a path, a space or a port out of range, and a new
// sensor with a number another sensor has. Numbers that sensors already share are left alone.
namespace EinrichtungForm {

constexpr qsizetype kMaxName = 200;
// A setting's value (a list of mail addresses, a webhook) may be longer than a name.
constexpr qsizetype kMaxValue = 2000;

struct Fault
{
    QString feld;
    QString text;
};

struct Result
{
    QByteArray document;
    QList<Fault> faults;
};

// current is the document read just before: the rows of Einstellungen that name files (the
// users file, certificate, key) keep its values, as the page shows them but cannot change them.
Result toDocument(const QJsonObject &form, const QJsonObject &current);

// Why the address would not do for a device ("192.168.1.20", "geraet.local:8080", "[::1]:80");
// empty when it does.
QString addressProblem(const QString &address);
QString nameProblem(const QString &name);

// The rows of Einstellungen that name files.
bool namesFile(const QString &parameter);

} // namespace EinrichtungForm
