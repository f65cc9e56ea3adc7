#include "pageassets.h"

#include <QCryptographicHash>
#include <QFile>
#include <QList>

namespace {

// qCompress puts the length in front of a zlib stream.
constexpr qsizetype kLengthPrefix = 4;

QByteArray contentTypeOf(const QByteArray &name)
{
    if (name.endsWith(".html")) {
        return "text/html; charset=utf-8";
    }
    if (name.endsWith(".css")) {
        return "text/css; charset=utf-8";
    }
    if (name.endsWith(".js")) {
        return "text/javascript; charset=utf-8";
    }
    if (name.endsWith(".svg")) {
        return "image/svg+xml";
    }
    return "text/plain; charset=utf-8";
}

bool isPlainName(const QByteArray &name)
{
    if (name.isEmpty() || name.startsWith('.')) {
        return false;
    }
    for (const char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
                             || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

} // namespace

const PageAssets::Asset *PageAssets::find(const QByteArray &path)
{
    const QByteArray name = path == "/" ? QByteArray("index.html") : path.mid(1);
    if (!path.startsWith('/') || !isPlainName(name)) {
        return nullptr;
    }
    if (const auto known = m_assets.constFind(name); known != m_assets.cend()) {
        return &*known;
    }
    QFile file(QStringLiteral(":/statuspage/") + QString::fromLatin1(name));
    if (!file.open(QIODevice::ReadOnly)) {
        return nullptr;
    }
    Asset asset;
    asset.contentType = contentTypeOf(name);
    asset.body = file.readAll();
    asset.deflated = deflate(asset.body);
    asset.etag =
        '"' + QCryptographicHash::hash(asset.body, QCryptographicHash::Sha1).toHex().left(16) + '"';
    return &*m_assets.insert(name, asset);
}

QByteArray PageAssets::deflate(const QByteArray &body)
{
    const QByteArray compressed = qCompress(body, 9).mid(kLengthPrefix);
    return compressed.size() < body.size() ? compressed : QByteArray();
}

bool PageAssets::acceptsDeflate(const QByteArray &acceptEncoding)
{
    for (const QByteArray &item : acceptEncoding.split(',')) {
        const QList<QByteArray> parts = item.split(';');
        if (parts.constFirst().trimmed().toLower() != "deflate") {
            continue;
        }
        // "deflate;q=0" refuses it.
        return parts.size() < 2 || parts.at(1).trimmed() != "q=0";
    }
    return false;
}
