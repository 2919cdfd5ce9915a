#pragma once
#include <gtest/gtest.h>

#include <QString>
#include <chrono>
#include <functional>

// Waiting in tests: always for a condition, never for a length of time. Deadlines are
// generous because the suite shares two cores with other builds; a wait that runs out
// is a failure that says what it waited for.
namespace harness {

using std::chrono::milliseconds;
using namespace std::chrono_literals;

inline constexpr milliseconds kDeadline = 20s;

// Runs the main thread's event loop until `pred` holds. Use as
// ASSERT_TRUE(harness::waitUntil(...)) so a timeout fails with `what`.
[[nodiscard]] ::testing::AssertionResult waitUntil(const std::function<bool()>& pred,
                                                   const QString& what,
                                                   milliseconds deadline = kDeadline);

// Handles everything already posted to the main thread: work posted before this call
// (MainThread::post, queued signals) has run when it returns.
void drainEvents();

// Runs the event loop until every main-thread timer due within `due` from now has fired
// (a timer started now for a little longer fires after them, coarse timers' slack
// included). For proving that a timer of the code under test did nothing: its moment has
// passed, whatever the load.
void passTimersDue(milliseconds due);

}  // namespace harness
