#pragma once
#include <string>

namespace vserver {
// Creates `path` and any missing parents as folders only their owner may enter (0700);
// folders that already exist keep their mode. A reason on failure.
std::string makePrivateDirs(const std::string& path);

// Writes `content` to `path` (0600) through a temporary file and a rename. A reason on failure.
std::string writePrivateFile(const std::string& path, const std::string& content);
}  // namespace vserver
