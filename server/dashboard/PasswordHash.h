#pragma once

#include <optional>
#include <string>

namespace tessary::server {

// Parents' passwords as Argon2id hashes (libsodium's encoded form, salt and parameters included),
// at libsodium's interactive limits: about a tenth of a second and 64 MiB per hash.
class PasswordHash {
public:
    // Absent when libsodium cannot start or the memory for the hash is not there.
    static std::optional<std::string> of(const std::string& password);
    static bool matches(const std::string& hash, const std::string& password);
    // Random bytes as lowercase hex, for session and form tokens.
    static std::string randomHex(std::size_t bytes);
    // A digest of a token as lowercase hex: what is kept of a session's token.
    static std::string digestHex(const std::string& token);
};

}  // namespace tessary::server
