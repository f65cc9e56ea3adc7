#pragma once

#include <QString>

#include <memory>

// The page's TLS certificate (with the chain that follows it in its file) and key, in PEM, as
// GnuTLS takes them for a handshake. Checked whole before it is used: both files readable, the
// key the certificate's own, the certificate valid today.
class PageCertificate
{
public:
    // Throws RuntimeError naming the file and what is wrong with it.
    static std::shared_ptr<const PageCertificate> load(const QString &certFile,
                                                       const QString &keyFile);
    ~PageCertificate();
    PageCertificate(const PageCertificate &) = delete;
    PageCertificate &operator=(const PageCertificate &) = delete;

    // What the handshakes from now on use; the one before stays valid for those under way.
    static void use(std::shared_ptr<const PageCertificate> certificate);
    // For MHD_OPTION_HTTPS_CERT_CALLBACK: a gnutls_certificate_retrieve_function2.
    static void *retrieveFunction();

private:
    struct Parts;
    // GnuTLS's side, where its types are known.
    struct Handshake;
    explicit PageCertificate(std::unique_ptr<Parts> parts);

    std::unique_ptr<Parts> m_parts;
};
