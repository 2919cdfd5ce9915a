#pragma once
#include <string>

namespace vserver {
// One timestamped line to standard error (and the --log file when set). Any thread.
void log(const std::string& line);
// Appends the log to `path` too (none when empty), in a file only its owner may read: a
// reason when it cannot be opened (the earlier file stays in use).
std::string setLogFile(const std::string& path);
// Opens the log file again by its name, after a rotation moved it away; a reason on failure.
std::string reopenLogFile();
}  // namespace vserver
