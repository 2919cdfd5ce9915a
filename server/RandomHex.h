#pragma once
#include <cstddef>
#include <optional>
#include <string>

namespace vserver {

// `bytes` bytes from OpenSSL's generator as lower-case hex (twice as many characters). None
// when the generator fails: a secret or a delimiter must never fall back to something
// guessable. Thread: any.
std::optional<std::string> randomHex(size_t bytes);

}  // namespace vserver
