#include "server/service/ServerCertificates.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <boost/asio/ip/address.hpp>

#include "platform/linux/AtomicFile.h"

namespace tessary::server {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

// A server certificate for the longest a browser accepts; the CA that signs the next ones for longer.
constexpr long kValiditySeconds = 825L * 24 * 3600;
constexpr long kAuthorityValiditySeconds = 10L * 365 * 24 * 3600;
// A certificate this close to its end is replaced at the next start.
constexpr long kRenewalSeconds = 30L * 24 * 3600;

Key newKey()
{
    return Key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
}

bool addExtension(X509* certificate, X509* issuer, int nid, const std::string& value)
{
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (!extension)
        return false;
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

Certificate newCertificate(EVP_PKEY* key, const std::string& commonName, long validity = kValiditySeconds)
{
    Certificate certificate(X509_new(), &X509_free);
    X509_set_version(certificate.get(), 2);
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
    BN_free(number);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), validity);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Tessary server"),
                               -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    return certificate;
}

std::string pem(X509* certificate)
{
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, certificate);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(size));
    BIO_free(bio);
    return text;
}

std::string pem(EVP_PKEY* key)
{
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(size));
    BIO_free(bio);
    return text;
}

std::string subjectAltNames(const std::vector<std::string>& names)
{
    std::string list;
    for (const auto& name : names) {
        boost::system::error_code notAnAddress;
        boost::asio::ip::make_address(name, notAnAddress);
        list += (list.empty() ? "" : ",") + std::string(notAnAddress ? "DNS:" : "IP:") + name;
    }
    return list;
}

bool readFile(const std::filesystem::path& file, std::string& content)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    content = buffer.str();
    return !content.empty();
}

// A key is the owner's alone from the moment its file exists, not after a later chmod.
bool writeFile(const std::filesystem::path& file, const std::string& content, bool secret)
{
    return !AtomicFile::write(file, content, secret ? 0600 : 0644);
}

Certificate parsedCertificate(const std::string& text)
{
    BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    Certificate certificate(bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr, &X509_free);
    BIO_free(bio);
    return certificate;
}

Key parsedKey(const std::string& text)
{
    BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    Key key(bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr, &EVP_PKEY_free);
    BIO_free(bio);
    return key;
}

}  // namespace

Expected<ServerCertificates> ServerCertificates::load(const std::filesystem::path& certificateFile,
                                                      const std::filesystem::path& keyFile)
{
    ServerCertificates result;
    if (!readFile(certificateFile, result.serverCertificatePem))
        return Error{certificateFile.string() + ": cannot be read"};
    if (!readFile(keyFile, result.serverKeyPem))
        return Error{keyFile.string() + ": cannot be read"};
    const auto certificate = parsedCertificate(result.serverCertificatePem);
    if (!certificate)
        return Error{certificateFile.string() + ": not a PEM certificate"};
    const auto key = parsedKey(result.serverKeyPem);
    if (!key)
        return Error{keyFile.string() + ": not a PEM private key"};
    if (X509_check_private_key(certificate.get(), key.get()) != 1)
        return Error{keyFile.string() + ": not the key of " + certificateFile.string()};
    return result;
}

std::string ServerCertificates::fingerprint() const
{
    const auto certificate = parsedCertificate(serverCertificatePem);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!certificate || X509_digest(certificate.get(), EVP_sha256(), digest, &size) != 1)
        return {};
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        if (i > 0)
            text += ':';
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0xf];
    }
    return text;
}

namespace {

// Good for a while yet, and (when names are given) for every one of them.
bool stillServes(X509* certificate, const std::vector<std::string>& names)
{
    if (!certificate || X509_cmp_time(X509_get0_notAfter(certificate), nullptr) <= 0)
        return false;
    time_t soon = std::time(nullptr) + kRenewalSeconds;
    if (X509_cmp_time(X509_get0_notAfter(certificate), &soon) <= 0)
        return false;
    return std::all_of(names.begin(), names.end(), [&](const std::string& name) {
        boost::system::error_code notAnAddress;
        boost::asio::ip::make_address(name, notAnAddress);
        return notAnAddress ? X509_check_host(certificate, name.c_str(), name.size(), 0, nullptr) == 1
                            : X509_check_ip_asc(certificate, name.c_str(), 0) == 1;
    });
}

}  // namespace

Expected<ServerCertificates> ServerCertificates::loadOrCreate(const std::filesystem::path& folder,
                                                              const std::vector<std::string>& names)
{
    ServerCertificates result;
    result.caFile = folder / "ca.pem";
    const bool haveAuthority = readFile(result.caFile, result.caPem);
    if (haveAuthority && readFile(folder / "server.pem", result.serverCertificatePem) &&
        readFile(folder / "server-key.pem", result.serverKeyPem) &&
        stillServes(parsedCertificate(result.serverCertificatePem).get(), names))
        return result;

    // A certificate for names it lacks, or near its end, is replaced under the same CA, so paired
    // devices keep trusting the server; only without the CA's key (kept since) is a new CA made.
    std::string caKeyPem;
    auto ca = haveAuthority ? parsedCertificate(result.caPem) : Certificate(nullptr, &X509_free);
    auto caKey = haveAuthority && readFile(folder / "ca-key.pem", caKeyPem) ? parsedKey(caKeyPem)
                                                                             : Key(nullptr, &EVP_PKEY_free);
    bool made = true;
    if (!ca || !caKey || !stillServes(ca.get(), {}) || X509_check_private_key(ca.get(), caKey.get()) != 1) {
        caKey = newKey();
        if (!caKey)
            return Error{"Cannot create keys"};
        ca = newCertificate(caKey.get(), "Tessary server CA", kAuthorityValiditySeconds);
        X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get()));
        made = addExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
               addExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign") &&
               addExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash") &&
               X509_sign(ca.get(), caKey.get(), EVP_sha256()) > 0;
        result.caPem = pem(ca.get());
        caKeyPem = pem(caKey.get());
    }

    auto serverKey = newKey();
    if (!serverKey)
        return Error{"Cannot create keys"};
    auto server = newCertificate(serverKey.get(), names.empty() ? "localhost" : names.front());
    X509_set_issuer_name(server.get(), X509_get_subject_name(ca.get()));
    made = made && addExtension(server.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE") &&
           addExtension(server.get(), ca.get(), NID_key_usage, "critical,digitalSignature,keyEncipherment") &&
           addExtension(server.get(), ca.get(), NID_ext_key_usage, "serverAuth") &&
           addExtension(server.get(), ca.get(), NID_subject_key_identifier, "hash") &&
           addExtension(server.get(), ca.get(), NID_authority_key_identifier, "keyid:always") &&
           addExtension(server.get(), ca.get(), NID_subject_alt_name, subjectAltNames(names)) &&
           X509_sign(server.get(), caKey.get(), EVP_sha256()) > 0;
    if (!made)
        return Error{"Cannot create the certificates"};

    result.serverCertificatePem = pem(server.get());
    result.serverKeyPem = pem(serverKey.get());
    // The folder is created (0700) with the first file; the keys are the owner's alone from the start.
    if (!writeFile(folder / "ca-key.pem", caKeyPem, true) || !writeFile(folder / "server-key.pem", result.serverKeyPem, true) ||
        !writeFile(folder / "server.pem", result.serverCertificatePem, false) ||
        !writeFile(result.caFile, result.caPem, false))
        return Error{"Cannot write the certificates to " + folder.string()};
    return result;
}

}  // namespace tessary::server
