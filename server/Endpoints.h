#pragma once
#include <functional>

#include "HttpServer.h"

namespace vserver {
// "ping": any authorised GET answers 200; only reachability and time matter.
void registerPing(HttpServer& server);

// "health" (liveness: 200 while the process serves) and "ready" (200 once `ready` says the
// models are loaded and the server is not draining, else 503), both without a token; and
// "metrics", the Prometheus text format, behind the token like every other call.
void registerHealth(HttpServer& server, std::function<bool()> ready);
// "updates/NAME": the files of `folder` (the update feed and packages), to anyone. Nothing is
// served when `folder` is empty.
void registerUpdates(HttpServer& server, const std::string& folder);
}  // namespace vserver
