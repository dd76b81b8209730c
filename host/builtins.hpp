// SPDX-License-Identifier: GPL-3.0-or-later
// The host's own classes. They are registered through the same API as every plug-in.
#pragma once

namespace tovo::host {

class Registry;
void register_builtins(Registry& registry);

} // namespace tovo::host
