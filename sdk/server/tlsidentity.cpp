// SPDX-License-Identifier: MIT
#include "tlsidentity.h"

#include "tls.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#if defined(__aarch64__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace voiceserver {

namespace {

constexpr qint64 MaxFileBytes = 1024 * 1024; // a certificate chain or a key is a few KiB
constexpr long ValidDays = 100 * 365; // trusted on first use, not renewed: it must not expire

struct Free
{
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};
template <typename T> using Owned = std::unique_ptr<T, Free>;

QByteArray readBio(BIO* bio)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? QByteArray(data, int(size)) : QByteArray();
}

bool readFile(const QString& path, QByteArray* bytes, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    *bytes = file.read(MaxFileBytes + 1);
    if (bytes->size() > MaxFileBytes) {
        *error = QStringLiteral("%1 is too large for a certificate or key").arg(path);
        return false;
    }
    return true;
}

bool writeFile(const QString& path, const QByteArray& bytes, bool secret, QString* error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        (secret && !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) ||
        file.write(bytes) != bytes.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

bool addExtension(X509* certificate, int nid, const char* value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    Owned<X509_EXTENSION> extension(
        X509V3_EXT_conf_nid(nullptr, &context, nid, const_cast<char*>(value)));
    return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

// A new P-256 key and a self-signed certificate for it, both as PEM.
bool createIdentity(QByteArray* certificatePem, QByteArray* keyPem, QString* error)
{
    *error = QStringLiteral("cannot create a certificate");
    Owned<EVP_PKEY> key(EVP_EC_gen("P-256"));
    Owned<X509> certificate(X509_new());
    quint64 serial = 0;
    if (!key || !certificate || RAND_bytes(reinterpret_cast<unsigned char*>(&serial), 8) != 1)
        return false;
    X509_NAME* name = X509_get_subject_name(certificate.get());
    if (X509_set_version(certificate.get(), 2) != 1 ||
        ASN1_INTEGER_set_uint64(X509_get_serialNumber(certificate.get()), serial >> 1) != 1 ||
        !X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) ||
        !X509_time_adj_ex(X509_getm_notAfter(certificate.get()), ValidDays, 0, nullptr) ||
        X509_set_pubkey(certificate.get(), key.get()) != 1 ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>("Meeting voice server"),
                                   -1, -1, 0) != 1 ||
        X509_set_issuer_name(certificate.get(), name) != 1 ||
        !addExtension(certificate.get(), NID_basic_constraints, "critical,CA:FALSE") ||
        !addExtension(certificate.get(), NID_key_usage, "critical,digitalSignature") ||
        !addExtension(certificate.get(), NID_ext_key_usage, "serverAuth") ||
        !addExtension(certificate.get(), NID_subject_key_identifier, "hash") ||
        X509_sign(certificate.get(), key.get(), EVP_sha256()) <= 0)
        return false;
    Owned<BIO> certificateBio(BIO_new(BIO_s_mem()));
    Owned<BIO> keyBio(BIO_new(BIO_s_mem()));
    if (!certificateBio || !keyBio ||
        PEM_write_bio_X509(certificateBio.get(), certificate.get()) != 1 ||
        PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1)
        return false;
    *certificatePem = readBio(certificateBio.get());
    *keyPem = readBio(keyBio.get());
    return true;
}

// Reads a PEM chain and key and checks that they belong together.
bool parseIdentity(const QByteArray& certificatePem, const QByteArray& keyPem,
                   TlsIdentity* identity, QString* error)
{
    Owned<BIO> certificateBio(BIO_new_mem_buf(certificatePem.constData(), certificatePem.size()));
    Owned<BIO> keyBio(BIO_new_mem_buf(keyPem.constData(), keyPem.size()));
    Owned<X509> certificate(certificateBio
                                ? PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr)
                                : nullptr);
    if (!certificate) {
        ERR_clear_error();
        *error = QStringLiteral("no PEM certificate in the certificate file");
        return false;
    }
    // The rest of the chain must read too, or the server would show half of it.
    while (Owned<X509> next{PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr)}) {
    }
    const unsigned long last = ERR_peek_last_error();
    ERR_clear_error();
    if (last &&
        !(ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE)) {
        *error = QStringLiteral("a damaged certificate in the certificate file");
        return false;
    }
    // An empty passphrase: an encrypted key fails here instead of asking on the terminal.
    char noPassphrase[] = "";
    Owned<EVP_PKEY> key(
        keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, noPassphrase) : nullptr);
    ERR_clear_error();
    if (!key) {
        *error = QStringLiteral("no unencrypted PEM private key in the key file");
        return false;
    }
    if (X509_check_private_key(certificate.get(), key.get()) != 1) {
        ERR_clear_error();
        *error = QStringLiteral("the key does not belong to the certificate");
        return false;
    }
    identity->certificatePem = certificatePem;
    identity->keyPem = keyPem;
    identity->fingerprint = voicesdk::protocol::certificateFingerprint(certificate.get());
    identity->keyFingerprint = voicesdk::protocol::publicKeyFingerprint(certificate.get());
    return true;
}

bool loadFiles(const QString& certificateFile, const QString& keyFile, TlsIdentity* identity,
               QString* error)
{
    QByteArray certificatePem, keyPem;
    if (!readFile(certificateFile, &certificatePem, error) || !readFile(keyFile, &keyPem, error))
        return false;
    if (parseIdentity(certificatePem, keyPem, identity, error))
        return true;
    *error = QStringLiteral("%1 and %2: %3").arg(certificateFile, keyFile, *error);
    return false;
}

} // namespace

bool loadTlsIdentity(const QString& dataDirectory, const QString& certificateFile,
                     const QString& keyFile, TlsIdentity* identity, QString* note, QString* error,
                     bool mayCreate)
{
    if (certificateFile.isEmpty() != keyFile.isEmpty()) {
        *error = QStringLiteral("--cert and --key go together");
        return false;
    }
    if (!certificateFile.isEmpty()) {
        if (!loadFiles(certificateFile, keyFile, identity, error))
            return false;
        *note = QStringLiteral("TLS certificate %1").arg(certificateFile);
    } else if (dataDirectory.isEmpty()) {
        if (!mayCreate) {
            *error = QStringLiteral("the certificate of this run lives in memory only");
            return false;
        }
        QByteArray certificatePem, keyPem;
        if (!createIdentity(&certificatePem, &keyPem, error) ||
            !parseIdentity(certificatePem, keyPem, identity, error))
            return false;
        *note = QStringLiteral("TLS certificate made for this run only (no data directory)");
    } else {
        const QDir directory(dataDirectory);
        const QString certificatePath = directory.filePath(QStringLiteral("server.crt"));
        const QString keyPath = directory.filePath(QStringLiteral("server.key"));
        const bool haveCertificate = QFileInfo::exists(certificatePath);
        const bool haveKey = QFileInfo::exists(keyPath);
        if (haveCertificate != haveKey) {
            // Making a new pair would lock out every client that knows the old certificate.
            *error = QStringLiteral("%1 is there without %2: put it back, or remove both to "
                                    "make a new certificate (clients that knew the old one "
                                    "will refuse the new one until they forget it)")
                         .arg(haveCertificate ? certificatePath : keyPath,
                              haveCertificate ? keyPath : certificatePath);
            return false;
        }
        if (haveCertificate) {
            if (!loadFiles(certificatePath, keyPath, identity, error))
                return false;
            *note = QStringLiteral("TLS certificate %1").arg(certificatePath);
        } else if (!mayCreate) {
            *error = QStringLiteral("%1 and %2 are gone").arg(certificatePath, keyPath);
            return false;
        } else {
            QByteArray certificatePem, keyPem;
            if (!createIdentity(&certificatePem, &keyPem, error))
                return false;
            if (!QDir().mkpath(dataDirectory)) {
                *error = QStringLiteral("cannot create %1").arg(dataDirectory);
                return false;
            }
            // The key first: a certificate without its key would be the worse half.
            if (!writeFile(keyPath, keyPem, true, error))
                return false;
            if (!writeFile(certificatePath, certificatePem, false, error)) {
                QFile::remove(keyPath); // nobody can know a certificate that was never there
                return false;
            }
            if (!parseIdentity(certificatePem, keyPem, identity, error))
                return false;
            *note = QStringLiteral("TLS certificate created in %1").arg(certificatePath);
        }
    }
    *note += QStringLiteral(" (%1, key %2)").arg(identity->fingerprint, identity->keyFingerprint);
    return true;
}

namespace {

bool hasAesInstructions()
{
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("aes");
#elif defined(__aarch64__)
    return (getauxval(AT_HWCAP) & HWCAP_AES) != 0;
#else
    return false;
#endif
}

} // namespace

std::shared_ptr<SSL_CTX> makeServerContext(const TlsIdentity& identity, QString* error)
{
    std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!context) {
        *error = voicesdk::protocol::takeTlsError(QStringLiteral("cannot set up TLS"));
        return nullptr;
    }
    SSL_CTX* ctx = context.get();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // An idle connection keeps no record buffers; a wake-up's output goes as records of up to
    // 16 KiB from wherever the connection holds it.
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE |
                              SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Records that arrive together are read with one call.
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION |
                                 SSL_OP_PRIORITIZE_CHACHA);
    voicesdk::protocol::TlsStream::refuseRenegotiation(ctx);
    // AES-GCM where the processor has AES instructions, else ChaCha20-Poly1305, which is faster
    // in software; a client without them asks for ChaCha20 first and gets it.
    const bool aes = hasAesInstructions();
    const char* suites = aes ? "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:"
                               "TLS_AES_256_GCM_SHA384"
                             : "TLS_CHACHA20_POLY1305_SHA256:TLS_AES_128_GCM_SHA256:"
                               "TLS_AES_256_GCM_SHA384";
    const char* ciphers = aes ? "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
                                "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384"
                              : "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
                                "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384";
    // Session tickets let a client that comes back skip the full handshake; the server keeps
    // nothing per session (no cache), and a new context means new ticket keys.
    static const unsigned char sessionContext[] = "voice-server";
    if (SSL_CTX_set_ciphersuites(ctx, suites) != 1 || SSL_CTX_set_cipher_list(ctx, ciphers) != 1 ||
        SSL_CTX_set_session_id_context(ctx, sessionContext, sizeof sessionContext - 1) != 1 ||
        SSL_CTX_set_num_tickets(ctx, 1) != 1) {
        *error = voicesdk::protocol::takeTlsError(QStringLiteral("cannot set up TLS"));
        return nullptr;
    }
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);

    Owned<BIO> certificateBio(
        BIO_new_mem_buf(identity.certificatePem.constData(), identity.certificatePem.size()));
    Owned<BIO> keyBio(BIO_new_mem_buf(identity.keyPem.constData(), identity.keyPem.size()));
    char noPassphrase[] = "";
    Owned<X509> certificate(certificateBio
                                ? PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr)
                                : nullptr);
    Owned<EVP_PKEY> key(
        keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, noPassphrase) : nullptr);
    if (!certificate || !key || SSL_CTX_use_certificate(ctx, certificate.get()) != 1) {
        *error = voicesdk::protocol::takeTlsError(QStringLiteral("cannot use the certificate"));
        return nullptr;
    }
    while (X509* next = PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr)) {
        if (SSL_CTX_add0_chain_cert(ctx, next) != 1) {
            X509_free(next);
            *error = voicesdk::protocol::takeTlsError(QStringLiteral("cannot use the chain"));
            return nullptr;
        }
    }
    ERR_clear_error(); // the end of the chain
    if (SSL_CTX_use_PrivateKey(ctx, key.get()) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
        *error = voicesdk::protocol::takeTlsError(QStringLiteral("cannot use the key"));
        return nullptr;
    }
    return context;
}

} // namespace voiceserver
