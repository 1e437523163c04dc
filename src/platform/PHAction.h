#pragma once

#include <functional>

/// Runs one panel action (slot, timer, sheet callback, host call). A named
/// failure or any other exception is logged and the action abandoned: the host
/// never dies of one. Returns false when the action was abandoned.
namespace PHAction {
bool run(const char *what, const std::function<void()> &action);
}
