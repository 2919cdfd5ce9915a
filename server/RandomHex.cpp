#include "RandomHex.h"

#include <openssl/rand.h>

#include <climits>
#include <vector>

namespace vserver {

std::optional<std::string> randomHex(size_t bytes) {
    if (bytes > INT_MAX) return std::nullopt;
    std::vector<unsigned char> raw(bytes);
    if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1) return std::nullopt;
    static const char* hex = "0123456789abcdef";
    std::string s;
    s.reserve(bytes * 2);
    for (unsigned char b : raw) {
        s.push_back(hex[b >> 4]);
        s.push_back(hex[b & 15]);
    }
    return s;
}

}  // namespace vserver
