// The desktop's "open" verb: a URL or a file in the user's default program.
#pragma once

#include <string>

// True when a graphical display is present (DISPLAY or WAYLAND_DISPLAY set).
bool graphicalDisplayPresent();

// Starts `xdg-open target` in the background when a graphical display is
// present, and never waits for it. False when nothing was started.
bool shellOpen(const std::string& target);
