// SPDX-License-Identifier: GPL-3.0-or-later
// Lets a test watch the Jitter layer at work: each operation that a wrapper plug-in calls
// reports its name as it starts, so the order of registration, creation and free shows.
#pragma once

#include <tovo/api.hpp>

#include <functional>
#include <string_view>

namespace tovo::host {

using JitterTrace = std::function<void(std::string_view operation)>;

// Replaces the watcher; an empty one stops watching.
TOVO_EXPORT void set_jitter_trace(JitterTrace trace);

} // namespace tovo::host
