#pragma once

#include <QByteArray>
#include <QList>

// The bytes a simulated sensor device puts on the wire: status pages in their good and broken
// forms, and the HTTP heads in front of them. Separate from the connection handling so that the
// exact layout of every answer can be read in one place.
class DevicePage
{
public:
    // Where and how the synchronisation marker appears. A reader accepts a page only if
    // "<ntpsync>", in exactly that case, occurs after the first character of the body.
    enum class Marker { AfterDeclaration, AtStart, WrongCase };

    // Total size of oversizedXml(), and the body offset at which its third sensor element begins.
    static constexpr int OversizedSize = 12 * 1024;
    static constexpr int OversizedLateOffset = 8 * 1024;
    static constexpr int GarbageSize = 2048;

    // The status page: XML declaration, <status> root, the marker, then <t1>..<tN> with the given
    // texts verbatim (readings[0] is t1). With Marker::AtStart the body begins with the marker and
    // has no declaration.
    static QByteArray statusXml(const QList<QByteArray> &readings,
                                Marker marker = Marker::AfterDeclaration);

    // A valid status page of exactly OversizedSize bytes (unless there are so many sensors that
    // it must be longer). The marker, t1 and t2 lie within the first 4096 bytes; t3 onwards start
    // at OversizedLateOffset, behind an XML comment used as padding.
    static QByteArray oversizedXml(const QList<QByteArray> &readings);

    // GarbageSize bytes from a fixed-seed generator: the same bytes every time, containing NUL,
    // '<', '>' and bytes of 0x80 and above, but no marker.
    static QByteArray garbage();

    // A short HTML page naming the status, for error answers and unknown paths.
    static QByteArray htmlPage(int statusCode);

    // What an endless answer starts with: declaration, root, marker and the sensor elements.
    static QByteArray endlessPrefix(const QList<QByteArray> &readings);

    // size bytes of <pad> elements; size should be a multiple of 32 so that consecutive pieces
    // join into whole elements.
    static QByteArray endlessFiller(int size);

    // Status line and headers up to and including the blank line. contentLength < 0 leaves out
    // Content-Length, making the body end with the connection. Always says Connection: close.
    static QByteArray responseHead(int statusCode, const QByteArray &contentType,
                                   qint64 contentLength);

    static QByteArray reasonPhrase(int statusCode);
};
