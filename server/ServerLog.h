#pragma once
#include <string>

namespace vserver {
// One timestamped line to standard error (and the --log file when set). Any thread.
void log(const std::string& line);
void setLogFile(const std::string& path);
}  // namespace vserver
