#include "ServiceNotify.h"

#include <systemd/sd-daemon.h>

namespace vserver {

void notifyService(const std::string& state) {
    sd_notify(0, state.c_str());
}

}  // namespace vserver
