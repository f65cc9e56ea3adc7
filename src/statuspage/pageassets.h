#pragma once

#include <QByteArray>
#include <QHash>

// The page's files, compiled into the program as Qt resources under :/statuspage/, so that the
// single executable serves its page with nothing beside it. Each is read on first use and kept,
// with its ETag and a deflate-compressed copy.
class PageAssets
{
public:
    struct Asset
    {
        QByteArray contentType;
        QByteArray body;
        // Empty when compressing does not make it smaller.
        QByteArray deflated;
        QByteArray etag;
    };

    // The file for a request path ("/" is index.html); nullptr when there is none. Only plain
    // names are looked up, so no path leads out of the page's own files.
    const Asset *find(const QByteArray &path);

    // body in the form HTTP calls "deflate" (a zlib stream); empty when that is not smaller.
    static QByteArray deflate(const QByteArray &body);
    // Whether an Accept-Encoding header admits "deflate".
    static bool acceptsDeflate(const QByteArray &acceptEncoding);

private:
    QHash<QByteArray, Asset> m_assets;
};
