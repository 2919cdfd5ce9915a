#pragma once
#include "HttpServer.h"

namespace vserver {
// "ping": any authorised GET answers 200; only reachability and time matter.
void registerPing(HttpServer& server);
// "updates/NAME": the files of `folder` (the update feed and packages), to anyone. Nothing is
// served when `folder` is empty.
void registerUpdates(HttpServer& server, const std::string& folder);
}  // namespace vserver
