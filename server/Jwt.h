#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "JsonFields.h"

// HS256 JSON Web Tokens: the access tokens the sign-in service issues and we check.
// Only HS256 is accepted: a token naming any other algorithm ("none", RS256 with our secret
// as a public key) is refused before its signature is looked at. Thread: any.
namespace vserver::jwt {

// URL-safe Base64 without padding, as tokens and PKCE challenges use it.
std::string base64url(std::string_view bytes);
// None when the text is not unpadded URL-safe Base64.
std::optional<std::string> unbase64url(std::string_view text);
// Raw SHA-256 digest.
std::string sha256(std::string_view bytes);

// Signs `claims` (a JSON object) with HS256.
std::string sign(const jsonfields::json& claims, std::string_view secret);

struct Verified {
    jsonfields::json claims;  // an object; "sub" is a non-empty string
    std::string error;        // empty when the token is good
    bool ok() const { return error.empty(); }
};

// Checks the signature, the algorithm, the expiry (with `leewaySeconds` of clock skew) and
// the audience ("aud" a string equal to `audience`, or an array holding it).
Verified verify(std::string_view token, std::string_view secret, std::string_view audience,
                int64_t nowSeconds, int64_t leewaySeconds = 30);

}  // namespace vserver::jwt
