#include "platform/linux/CurlTransferPolicy.h"

#include <openssl/ssl.h>

#include "platform/linux/SystemTrustStore.h"

namespace tessary {

namespace {

// Adds the extra CA to the trust store curl has already filled from the system paths.
CURLcode addExtraCa(CURL*, void* sslContext, void* caFile)
{
    auto* context = static_cast<SSL_CTX*>(sslContext);
    if (SSL_CTX_load_verify_locations(context, static_cast<const char*>(caFile), nullptr) != 1)
        return CURLE_SSL_CACERT_BADFILE;
    return CURLE_OK;
}

struct GlobalInit {
    GlobalInit() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};

}  // namespace

void CurlTransferPolicy::initialiseLibrary()
{
    static const GlobalInit init;
}

void CurlTransferPolicy::apply(CURL* easy, const std::optional<std::filesystem::path>& extraCaFile)
{
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    const auto bundle = SystemTrustStore::certificateFile();
    curl_easy_setopt(easy, CURLOPT_CAINFO, bundle ? bundle->c_str() : nullptr);
    curl_easy_setopt(easy, CURLOPT_CAPATH, SystemTrustStore::certificateFolder().c_str());
    if (extraCaFile) {
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &addExtraCa);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, extraCaFile->c_str());
    }
}

}  // namespace tessary
