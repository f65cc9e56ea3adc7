#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// The users who may see the page, from a file in the form htpasswd writes: one "name:hash" per
// line, blank lines and lines starting with '#' ignored. A hash is one that libcrypt's crypt_r
// checks: bcrypt ($2b$, $2y$, $2a$, as htpasswd -B writes it), yescrypt ($y$) or SHA-512 ($6$,
// as mkpasswd writes them). Older kinds (DES, MD5, SHA-1) are refused: they are guessed in
// minutes.
class PageUsers
{
public:
    // Throws RuntimeError naming the file, and the line where one is wrong; a file without a
    // user is wrong too, as nobody could see the page.
    static PageUsers load(const QString &path);

    bool isEmpty() const { return m_hashes.isEmpty(); }
    qsizetype size() const { return m_hashes.size(); }
    // Null for a name not in the file.
    QByteArray hash(const QString &name) const { return m_hashes.value(name); }
    // One of the hashes, to check an unknown name against at the same cost.
    QByteArray anyHash() const { return m_hashes.isEmpty() ? QByteArray() : *m_hashes.cbegin(); }

private:
    QHash<QString, QByteArray> m_hashes;
};

// Whether password is the one hash was made of. Takes as long as the hash's cost says (a tenth
// of a second for bcrypt on a small board): never on a thread that must answer at once.
bool passwordMatches(const QByteArray &password, const QByteArray &hash);
