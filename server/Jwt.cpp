#include "Jwt.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <climits>
#include <vector>

namespace vserver::jwt {

using jsonfields::json;

namespace {

constexpr size_t kMaxTokenBytes = 8192;

std::string hmacSha256(std::string_view key, std::string_view data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (key.size() > INT_MAX ||
        !HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
              reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, &len))
        return {};
    return std::string(reinterpret_cast<const char*>(out), len);
}

}  // namespace

std::string base64url(std::string_view bytes) {
    std::vector<unsigned char> out(4 * ((bytes.size() + 2) / 3) + 1);
    const int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    std::string s(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(n));
    while (!s.empty() && s.back() == '=') s.pop_back();
    for (char& c : s) {
        if (c == '+') c = '-';
        if (c == '/') c = '_';
    }
    return s;
}

std::optional<std::string> unbase64url(std::string_view text) {
    if (text.size() % 4 == 1 || text.size() > kMaxTokenBytes) return std::nullopt;
    std::string s(text);
    for (char& c : s) {
        if (c == '-')
            c = '+';
        else if (c == '_')
            c = '/';
        else if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return std::nullopt;  // padding, '+' and '/' are not URL-safe Base64
    }
    const size_t pad = (4 - s.size() % 4) % 4;
    s.append(pad, '=');
    std::vector<unsigned char> out(s.size() / 4 * 3 + 1);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(s.data()),
                                  static_cast<int>(s.size()));
    if (n < 0) return std::nullopt;
    // EVP_DecodeBlock counts the padding's zero bytes too.
    return std::string(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(n) - pad);
}

std::string sha256(std::string_view bytes) {
    unsigned char out[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out);
    return std::string(reinterpret_cast<const char*>(out), sizeof out);
}

std::string sign(const json& claims, std::string_view secret) {
    const std::string head =
        base64url(R"({"alg":"HS256","typ":"JWT"})") + "." + base64url(jsonfields::dump(claims));
    return head + "." + base64url(hmacSha256(secret, head));
}

Verified verify(std::string_view token, std::string_view secret, std::string_view audience,
                int64_t nowSeconds, int64_t leewaySeconds) {
    Verified v;
    if (secret.empty()) return v.error = "no token secret configured", v;
    if (token.size() > kMaxTokenBytes) return v.error = "token too long", v;
    const size_t dot1 = token.find('.');
    const size_t dot2 = dot1 == std::string_view::npos ? dot1 : token.find('.', dot1 + 1);
    if (dot2 == std::string_view::npos || token.find('.', dot2 + 1) != std::string_view::npos)
        return v.error = "not a JWT", v;
    const auto header = unbase64url(token.substr(0, dot1));
    const auto payload = unbase64url(token.substr(dot1 + 1, dot2 - dot1 - 1));
    const auto signature = unbase64url(token.substr(dot2 + 1));
    if (!header || !payload || !signature) return v.error = "not a JWT", v;
    const json h = jsonfields::parse(*header);
    if (!h.is_object()) return v.error = "bad token header", v;
    if (jsonfields::stringMember(h, "alg") != "HS256") return v.error = "algorithm not HS256", v;
    const std::string expected = hmacSha256(secret, token.substr(0, dot2));
    if (expected.empty() || signature->size() != expected.size() ||
        CRYPTO_memcmp(signature->data(), expected.data(), expected.size()) != 0)
        return v.error = "bad signature", v;
    json claims = jsonfields::parse(*payload);
    if (!claims.is_object()) return v.error = "bad token claims", v;
    const auto exp = jsonfields::intMember(claims, "exp");
    if (!exp) return v.error = "token has no expiry", v;
    if (*exp + leewaySeconds <= nowSeconds) return v.error = "token expired", v;
    bool audOk = false;
    if (const json* aud = jsonfields::member(claims, "aud")) {
        if (aud->is_string()) audOk = aud->get<std::string>() == audience;
        if (aud->is_array())
            for (const json& a : *aud) audOk |= a.is_string() && a.get<std::string>() == audience;
    }
    if (!audOk) return v.error = "wrong audience", v;
    const auto sub = jsonfields::stringMember(claims, "sub");
    if (!sub || sub->empty() || sub->size() > 128) return v.error = "token has no subject", v;
    v.claims = std::move(claims);
    return v;
}

}  // namespace vserver::jwt
