#pragma once

#include <chrono>

/// Work started in the background whose outcome the window will still show
/// (the launch update check: its answer, or its "could not connect" sheet).
/// The count lives on the application object, so the host and the panel's
/// plug-in, each with its own copy of this code, see the same number.
///
/// Main thread only. Every begin() is matched by one end(), on the main thread,
/// once the outcome has been shown.
namespace PHPendingWork {

void begin();
void end();
/// The background work begun and not yet ended.
int count();

/// How long a picture of the window waits for pending work before it is
/// taken anyway (a check may wait a minute for a silent network).
inline constexpr std::chrono::milliseconds longestWait{10000};

} // namespace PHPendingWork
