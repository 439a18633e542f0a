#pragma once
// The probe's own window, kept apart from the hook unit because <windows.h> defines the platform's
// message names as macros.

struct TWindowCounts {
    int Keys = 0;     // WM_KEYDOWN/WM_KEYUP/WM_SYSKEY* the window received
    int Wheels = 0;   // WM_MOUSEWHEEL/WM_MOUSEHWHEEL
    int Buttons = 0;  // button and X-button messages
};

// A visible, focused window titled "CorvastelHookProbe" at the top-left of the screen.
bool ProbeCreateWindow();
// Runs the message loop for about `ms` milliseconds (the hooks are called from inside it).
void ProbePump(int ms);
TWindowCounts ProbeWindowCounts();
