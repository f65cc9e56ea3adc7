#include "pageusers.h"

#include "pagefiles.h"
#include "runtime/runtimeerror.h"

#include <QList>

#include <crypt.h>

#include <algorithm>

#include <memory>

namespace {

struct Kind
{
    const char *prefix;
    // The length of the digest after the last '$'; bcrypt's follows its cost and salt directly.
    qsizetype digest;
};
const Kind kKinds[] = {{"$2b$", 53}, {"$2y$", 53}, {"$2a$", 53}, {"$y$", 43}, {"$6$", 86}};

bool cryptAlphabet(const QByteArray &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](char c) {
        return c == '.' || c == '/' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z')
               || (c >= 'a' && c <= 'z');
    });
}

// A hash cut short, or one with a wrong cost or salt, would fail every login without a word: it
// must have its whole digest, and libcrypt must take the rest as its settings.
bool knownKind(const QByteArray &hash)
{
    for (const Kind &kind : kKinds) {
        if (hash.startsWith(kind.prefix)) {
            const QByteArray digest = hash.mid(hash.lastIndexOf('$') + 1);
            return digest.size() == kind.digest && cryptAlphabet(digest)
                   && crypt_checksalt(hash.constData()) == CRYPT_SALT_OK;
        }
    }
    return false;
}

// As long for every hash of the same length, wherever the first difference lies.
bool sameBytes(const char *a, const char *b, size_t size)
{
    unsigned char difference = 0;
    for (size_t i = 0; i < size; ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

} // namespace

PageUsers PageUsers::load(const QString &path)
{
    const QString what = QStringLiteral("Die Benutzerdatei");
    const QByteArray bytes = PageFiles::read(path, what);
    PageUsers users;
    int number = 0;
    for (QByteArray line : bytes.split('\n')) {
        ++number;
        if (line.endsWith('\r')) {
            line.chop(1);
        }
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith('#')) {
            continue;
        }
        const auto wrong = [&](const QString &reason) {
            return RuntimeError(
                ErrorNumber::InvalidArgument,
                QStringLiteral("%1 '%2', Zeile %3: %4.").arg(what, path).arg(number).arg(reason));
        };
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            throw wrong(QStringLiteral("erwartet NAME:HASH"));
        }
        const QString name = QString::fromUtf8(line.left(colon));
        const QByteArray hash = line.mid(colon + 1).trimmed();
        if (hash.isEmpty()) {
            throw wrong(QStringLiteral("zu '%1' fehlt der Hash").arg(name));
        }
        if (line.contains('\0') || !knownKind(hash)) {
            throw wrong(QStringLiteral("der Hash zu '%1' ist weder bcrypt ($2b$, htpasswd -B) "
                                       "noch yescrypt ($y$) oder SHA-512 ($6$, mkpasswd)")
                            .arg(name));
        }
        if (users.m_hashes.contains(name)) {
            throw wrong(QStringLiteral("'%1' steht schon weiter oben").arg(name));
        }
        users.m_hashes.insert(name, hash);
    }
    if (users.m_hashes.isEmpty()) {
        throw RuntimeError(ErrorNumber::InvalidArgument,
                           QStringLiteral("%1 '%2' nennt keinen Benutzer; eine Zeile NAME:HASH "
                                          "schreibt pelvarod --hash-password NAME.")
                               .arg(what, path));
    }
    return users;
}

bool passwordMatches(const QByteArray &password, const QByteArray &hash)
{
    if (password.contains('\0')) {
        return false;
    }
    // crypt_r's work area is 32 kB: too much for the stack of a small thread.
    auto data = std::make_unique<crypt_data>();
    const char *result = crypt_r(password.constData(), hash.constData(), data.get());
    // A failed hash begins with '*' and never equals a stored one; compared in full either way.
    return result != nullptr && result[0] != '*' && qstrlen(result) == size_t(hash.size())
           && sameBytes(result, hash.constData(), size_t(hash.size()));
}
