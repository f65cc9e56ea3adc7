#include "devicepage.h"

namespace {

const char declaration[] = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n";
const char marker[] = "<ntpsync>1</ntpsync>\r\n";
const char closing[] = "</status>\r\n";

// firstIndex is the zero-based sensor index of readings[0], so pages can be assembled in pieces.
QByteArray sensorElements(const QList<QByteArray> &readings, int firstIndex = 0)
{
    QByteArray elements;
    for (int i = 0; i < readings.size(); ++i) {
        const QByteArray tag = 't' + QByteArray::number(firstIndex + i + 1);
        elements += '<' + tag + '>' + readings.at(i) + "</" + tag + ">\r\n";
    }
    return elements;
}

// Grows page to exactly target bytes with a comment, which every XML reader skips; when less room
// is left than a comment needs, whitespace between elements does the same.
void padTo(QByteArray &page, int target)
{
    const char open[] = "<!-- ";
    const char close[] = " -->\r\n";
    const int frame = int(sizeof open - 1 + sizeof close - 1);
    const int room = target - int(page.size());
    if (room <= 0)
        return;
    if (room < frame) {
        page += QByteArray(room, ' ');
        return;
    }
    const QByteArray word("Fuellung ");
    QByteArray text;
    text.reserve(room - frame);
    while (text.size() < room - frame)
        text += word;
    text.truncate(room - frame);
    page += open + text + close;
}

} // namespace

QByteArray DevicePage::statusXml(const QList<QByteArray> &readings, Marker where)
{
    switch (where) {
    case Marker::AtStart:
        return marker + QByteArray("<status>\r\n") + sensorElements(readings) + closing;
    case Marker::WrongCase:
        return declaration + QByteArray("<status>\r\n<NTPSYNC>1</NTPSYNC>\r\n")
               + sensorElements(readings) + closing;
    case Marker::AfterDeclaration:
        break;
    }
    return declaration + QByteArray("<status>\r\n") + marker + sensorElements(readings) + closing;
}

QByteArray DevicePage::oversizedXml(const QList<QByteArray> &readings)
{
    QByteArray page = declaration + QByteArray("<status>\r\n") + marker;
    page += sensorElements(readings.mid(0, 2));
    padTo(page, OversizedLateOffset);
    page += sensorElements(readings.mid(2), 2);
    padTo(page, OversizedSize - int(sizeof closing - 1));
    page += closing;
    return page;
}

QByteArray DevicePage::garbage()
{
    // xorshift32: tiny, and its output does not depend on the library, so the bytes are the
    // same on every machine and a failing test can be reproduced.
    quint32 state = 0x2545f491u;
    QByteArray bytes(GarbageSize, Qt::Uninitialized);
    for (char &byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = char(state >> 24);
    }
    return bytes;
}

QByteArray DevicePage::htmlPage(int statusCode)
{
    const QByteArray title = QByteArray::number(statusCode) + ' ' + reasonPhrase(statusCode);
    return "<html><head><title>" + title + "</title></head><body><h1>" + title
           + "</h1></body></html>\r\n";
}

QByteArray DevicePage::endlessPrefix(const QList<QByteArray> &readings)
{
    return declaration + QByteArray("<status>\r\n") + marker + sensorElements(readings);
}

QByteArray DevicePage::endlessFiller(int size)
{
    static const QByteArray element("<pad>-------------------</pad>\r\n");
    static_assert(sizeof "<pad>-------------------</pad>\r\n" - 1 == 32);
    QByteArray filler;
    filler.reserve(size + element.size());
    while (filler.size() < size)
        filler += element;
    filler.truncate(size);
    return filler;
}

QByteArray DevicePage::responseHead(int statusCode, const QByteArray &contentType,
                                    qint64 contentLength)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(statusCode) + ' ' + reasonPhrase(statusCode)
                      + "\r\nServer: pelvaro-devicesim\r\n";
    head += "Content-Type: " + contentType + "\r\n";
    if (contentLength >= 0)
        head += "Content-Length: " + QByteArray::number(contentLength) + "\r\n";
    head += "Connection: close\r\n\r\n";
    return head;
}

QByteArray DevicePage::reasonPhrase(int statusCode)
{
    switch (statusCode) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 408:
        return "Request Timeout";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Status";
    }
}
