#include "platform/linux/SystemTrustStore.h"

#include <cstdlib>

#include <openssl/x509.h>

namespace tessary {

namespace {

std::optional<std::string> environmentValue(const char* name)
{
    const char* value = std::getenv(name);
    if (!value || *value == '\0')
        return std::nullopt;
    return std::string(value);
}

}  // namespace

std::string SystemTrustStore::certificateFolder()
{
    return environmentValue(X509_get_default_cert_dir_env()).value_or(X509_get_default_cert_dir());
}

std::optional<std::string> SystemTrustStore::certificateFile()
{
    return environmentValue(X509_get_default_cert_file_env());
}

}  // namespace tessary
