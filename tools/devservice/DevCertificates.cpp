#include "tools/devservice/DevCertificates.h"

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

namespace tessary::devservice {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

constexpr long kValiditySeconds = 825L * 24 * 3600;

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

Certificate newCertificate(EVP_PKEY* key, const std::string& commonName)
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
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), kValiditySeconds);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Tessary stand-in"),
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

}  // namespace

Expected<DevCertificates> DevCertificates::loadOrCreate(const std::filesystem::path& folder,
                                                        const std::vector<std::string>& names)
{
    DevCertificates result;
    result.caFile = folder / "ca.pem";
    if (readFile(result.caFile, result.caPem) && readFile(folder / "server.pem", result.serverCertificatePem) &&
        readFile(folder / "server-key.pem", result.serverKeyPem))
        return result;

    auto caKey = newKey();
    auto serverKey = newKey();
    if (!caKey || !serverKey)
        return Error{"Cannot create keys"};
    auto ca = newCertificate(caKey.get(), "Tessary stand-in service CA");
    X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get()));
    bool made = addExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
                addExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign") &&
                addExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash") &&
                X509_sign(ca.get(), caKey.get(), EVP_sha256()) > 0;

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

    result.caPem = pem(ca.get());
    result.serverCertificatePem = pem(server.get());
    result.serverKeyPem = pem(serverKey.get());
    // The CA's key is not kept: nothing else is ever signed with it.
    // The folder is created (0700) with the first file.
    if (!writeFile(folder / "server-key.pem", result.serverKeyPem, true) ||
        !writeFile(folder / "server.pem", result.serverCertificatePem, false) ||
        !writeFile(result.caFile, result.caPem, false))
        return Error{"Cannot write the certificates to " + folder.string()};
    return result;
}

}  // namespace tessary::devservice
