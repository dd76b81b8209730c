// SPDX-License-Identifier: GPL-3.0-or-later
// The Jitter engine class tovo_gl_bounds, registered by the library object tovo.
#pragma once

namespace tovo {

// Registers the engine class with the host's Jitter layer; called once, from the library's main.
void gl_bounds_engine_init();

} // namespace tovo
