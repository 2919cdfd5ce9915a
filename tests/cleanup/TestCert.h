#pragma once
#include <string>

namespace testcert {
// Writes a fresh self-signed certificate for "localhost" and 127.0.0.1 and its
// private key as PEM files in `dir`; false on failure.
bool writeSelfSigned(const std::string& dir, std::string& certPath, std::string& keyPath);
}  // namespace testcert
