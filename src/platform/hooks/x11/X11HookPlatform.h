#pragma once
// Input capture on an X server: keyboard and pointer grabs with XInput2 raw events, read on the
// calling (UI) thread through its event loop. Needs a QCoreApplication. No X11 or Qt headers here.

#include <memory>
#include <string>

#include "platform/hooks/HookPlatform.h"

// Opens its own connection to `display` (":0"). Null, with *error in the user's terms, when the
// server cannot be reached or lacks XInput2, XTest or XKB.
std::unique_ptr<THookPlatform> CreateX11HookPlatform(const std::string& display,
                                                     std::string* error = nullptr);

// The X server going away (WatchDisplayLoss): Xlib's I/O error handler for every connection of the
// process, and the toolkit's own check of its connection.
void WatchX11DisplayLoss(TDisplayLostHandler handler);
