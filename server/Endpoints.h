#pragma once
#include "HttpServer.h"

namespace vserver {
// "ping": any authorised GET answers 200; only reachability and time matter.
void registerPing(HttpServer& server);
}  // namespace vserver
