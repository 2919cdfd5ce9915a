#pragma once
#include <string>

namespace vserver {
// Tells systemd about the service's state ("READY=1", "STOPPING=1", "STATUS=..."), when it
// runs under systemd with Type=notify; nothing otherwise. Thread: any.
void notifyService(const std::string& state);
}  // namespace vserver
