#pragma once
#include <functional>

// Hands work to the main thread's event loop. Callbacks between the app's parts
// are delivered this way; callable from any thread.
namespace MainThread {
void post(std::function<void()> fn);
bool isCurrent();
}  // namespace MainThread
