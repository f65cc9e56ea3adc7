#include "pagecertificate.h"

#include "pagefiles.h"
#include "runtime/runtimeerror.h"

#include <QDateTime>
#include <QList>

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <ctime>

namespace {

// A chain longer than this is no chain a page needs.
constexpr unsigned kMaxChain = 16;

// The certificates handshakes take, the newest last. Those that were replaced stay a while, as a
// handshake under way may still use them; a handshake lasts no longer than a request's header
// may take to arrive.
QList<std::shared_ptr<const PageCertificate>> g_inUse;
constexpr int kKeptInUse = 4;

gnutls_datum_t datumOf(const QByteArray &bytes)
{
    return gnutls_datum_t{reinterpret_cast<unsigned char *>(const_cast<char *>(bytes.constData())),
                          unsigned(bytes.size())};
}

QString gnutlsText(int code)
{
    return QString::fromUtf8(gnutls_strerror(code));
}

// The digest of a public key, by gnutls_x509_crt_get_key_id or gnutls_x509_privkey_get_key_id.
template <typename Object, typename Get> QByteArray keyId(Get get, Object object)
{
    QByteArray id(64, '\0');
    size_t size = size_t(id.size());
    if (get(object, 0, reinterpret_cast<unsigned char *>(id.data()), &size) < 0) {
        return {};
    }
    id.truncate(qsizetype(size));
    return id;
}

} // namespace

struct PageCertificate::Parts
{
    gnutls_x509_crt_t certificates[kMaxChain] = {};
    unsigned chain = 0;
    gnutls_pcert_st pcerts[kMaxChain] = {};
    unsigned pcertCount = 0;
    gnutls_x509_privkey_t x509Key = nullptr;
    gnutls_privkey_t key = nullptr;

    ~Parts()
    {
        for (unsigned i = 0; i < pcertCount; ++i) {
            gnutls_pcert_deinit(&pcerts[i]);
        }
        for (unsigned i = 0; i < chain; ++i) {
            gnutls_x509_crt_deinit(certificates[i]);
        }
        if (key != nullptr) {
            gnutls_privkey_deinit(key);
        }
        if (x509Key != nullptr) {
            gnutls_x509_privkey_deinit(x509Key);
        }
    }
};

PageCertificate::PageCertificate(std::unique_ptr<Parts> parts) : m_parts(std::move(parts)) {}

PageCertificate::~PageCertificate() = default;

std::shared_ptr<const PageCertificate> PageCertificate::load(const QString &certFile,
                                                             const QString &keyFile)
{
    const QString certWhat = QStringLiteral("Das Zertifikat");
    const QString keyWhat = QStringLiteral("Der Schlüssel");
    const QByteArray certBytes = PageFiles::read(certFile, certWhat);
    const QByteArray keyBytes = PageFiles::read(keyFile, keyWhat);
    const auto wrong = [](const QString &what, const QString &file, const QString &reason) {
        return RuntimeError(ErrorNumber::InvalidArgument,
                            QStringLiteral("%1 '%2' %3.").arg(what, file, reason));
    };
    auto parts = std::make_unique<Parts>();
    gnutls_datum_t certDatum = datumOf(certBytes);
    parts->chain = kMaxChain;
    int code = gnutls_x509_crt_list_import(parts->certificates, &parts->chain, &certDatum,
                                           GNUTLS_X509_FMT_PEM,
                                           GNUTLS_X509_CRT_LIST_IMPORT_FAIL_IF_EXCEED);
    if (code < 0 || parts->chain == 0) {
        parts->chain = 0;
        throw wrong(certWhat, certFile,
                    QStringLiteral("ist kein Zertifikat im PEM-Format (%1)")
                        .arg(code < 0 ? gnutlsText(code) : QStringLiteral("leer")));
    }
    const std::time_t now = std::time(nullptr);
    const std::time_t expires = gnutls_x509_crt_get_expiration_time(parts->certificates[0]);
    if (expires != std::time_t(-1) && expires < now) {
        throw wrong(certWhat, certFile,
                    QStringLiteral("ist seit %1 abgelaufen")
                        .arg(QDateTime::fromSecsSinceEpoch(expires).toString(
                            QStringLiteral("dd.MM.yyyy HH:mm"))));
    }
    const std::time_t activates = gnutls_x509_crt_get_activation_time(parts->certificates[0]);
    if (activates != std::time_t(-1) && activates > now) {
        throw wrong(certWhat, certFile,
                    QStringLiteral("gilt erst ab %1")
                        .arg(QDateTime::fromSecsSinceEpoch(activates).toString(
                            QStringLiteral("dd.MM.yyyy HH:mm"))));
    }
    gnutls_datum_t keyDatum = datumOf(keyBytes);
    if ((code = gnutls_x509_privkey_init(&parts->x509Key)) < 0
        || (code = gnutls_x509_privkey_import2(parts->x509Key, &keyDatum, GNUTLS_X509_FMT_PEM,
                                               nullptr, GNUTLS_PKCS_PLAIN))
               < 0) {
        throw wrong(keyWhat, keyFile,
                    QStringLiteral("ist kein unverschlüsselter Schlüssel im PEM-Format (%1)")
                        .arg(gnutlsText(code)));
    }
    const QByteArray certKey = keyId(&gnutls_x509_crt_get_key_id, parts->certificates[0]);
    const QByteArray ownKey = keyId(&gnutls_x509_privkey_get_key_id, parts->x509Key);
    if (certKey.isEmpty() || certKey != ownKey) {
        throw wrong(keyWhat, keyFile,
                    QStringLiteral("gehört nicht zum Zertifikat '%1'").arg(certFile));
    }
    const auto unusable = [&](int failure) {
        return wrong(certWhat, certFile,
                     QStringLiteral("lässt sich nicht verwenden (%1)").arg(gnutlsText(failure)));
    };
    unsigned imported = parts->chain;
    if ((code = gnutls_pcert_import_x509_list(parts->pcerts, parts->certificates, &imported, 0))
        < 0) {
        throw unusable(code);
    }
    parts->pcertCount = imported;
    if ((code = gnutls_privkey_init(&parts->key)) < 0) {
        parts->key = nullptr;
        throw unusable(code);
    }
    if ((code = gnutls_privkey_import_x509(parts->key, parts->x509Key, GNUTLS_PRIVKEY_IMPORT_COPY))
        < 0) {
        throw unusable(code);
    }
    return std::shared_ptr<const PageCertificate>(new PageCertificate(std::move(parts)));
}

void PageCertificate::use(std::shared_ptr<const PageCertificate> certificate)
{
    g_inUse.append(std::move(certificate));
    while (g_inUse.size() > kKeptInUse) {
        g_inUse.removeFirst();
    }
}

struct PageCertificate::Handshake
{
    // Called by GnuTLS inside the server's run, on its thread, where use() is called as well.
    static int retrieve(gnutls_session_t, const gnutls_datum_t *, int,
                        const gnutls_pk_algorithm_t *, int, gnutls_pcert_st **pcert,
                        unsigned int *pcertLength, gnutls_privkey_t *key)
    {
        if (g_inUse.isEmpty()) {
            return -1;
        }
        Parts &parts = *g_inUse.last()->m_parts;
        *pcert = parts.pcerts;
        *pcertLength = parts.pcertCount;
        *key = parts.key;
        return 0;
    }
};

void *PageCertificate::retrieveFunction()
{
    gnutls_certificate_retrieve_function2 *function = &Handshake::retrieve;
    return reinterpret_cast<void *>(function);
}
