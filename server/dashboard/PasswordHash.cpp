#include "server/dashboard/PasswordHash.h"

#include <sodium.h>

#include <stdexcept>
#include <vector>

namespace tessary::server {

namespace {

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

std::string hex(const unsigned char* bytes, std::size_t size)
{
    std::string text(size * 2 + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), bytes, size);
    text.pop_back();
    return text;
}

}  // namespace

std::optional<std::string> PasswordHash::of(const std::string& password)
{
    if (!sodiumReady())
        return std::nullopt;
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                              crypto_pwhash_MEMLIMIT_INTERACTIVE, crypto_pwhash_ALG_ARGON2ID13) != 0)
        return std::nullopt;
    return std::string(hash);
}

bool PasswordHash::matches(const std::string& hash, const std::string& password)
{
    return sodiumReady() && hash.size() < crypto_pwhash_STRBYTES &&
           crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::string PasswordHash::randomHex(std::size_t bytes)
{
    if (!sodiumReady())
        throw std::runtime_error("libsodium cannot start");
    std::vector<unsigned char> random(bytes);
    randombytes_buf(random.data(), random.size());
    return hex(random.data(), random.size());
}

std::string PasswordHash::digestHex(const std::string& token)
{
    unsigned char digest[crypto_generichash_BYTES];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(token.data()), token.size(),
                       nullptr, 0);
    return hex(digest, sizeof digest);
}

}  // namespace tessary::server
