#pragma once
// Input capture on the kernel's input devices (/dev/input/event*), for any Linux session: Wayland,
// X11 or none. Needs read access to those devices (the "input" group) and a QCoreApplication; reads
// on the calling (UI) thread through its event loop. No Qt headers here.

#include <memory>
#include <string>

#include "platform/hooks/HookPlatform.h"

// directory: where the device nodes are (tests may point elsewhere). Null, with *error in the user's
// terms, when there is no event loop to read on. A backend that cannot open any device is still
// returned: its CaptureUnavailableReason() says so from the start, and installs fail saying why.
std::unique_ptr<THookPlatform> CreateEvdevHookPlatform(std::string* error = nullptr,
                                                       const std::string& directory = "/dev/input");
