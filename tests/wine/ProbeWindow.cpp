#include "ProbeWindow.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

TWindowCounts Counts;

LRESULT CALLBACK ProbeWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_KEYDOWN:
        case WM_KEYUP:
        case WM_SYSKEYDOWN:
        case WM_SYSKEYUP:
            ++Counts.Keys;
            return 0;
        case WM_MOUSEWHEEL:
        case WM_MOUSEHWHEEL:
            ++Counts.Wheels;
            return 0;
        case WM_LBUTTONDOWN:
        case WM_LBUTTONUP:
        case WM_RBUTTONDOWN:
        case WM_RBUTTONUP:
        case WM_MBUTTONDOWN:
        case WM_MBUTTONUP:
        case WM_XBUTTONDOWN:
        case WM_XBUTTONUP:
            ++Counts.Buttons;
            return message == WM_XBUTTONDOWN || message == WM_XBUTTONUP ? TRUE : 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

bool ProbeCreateWindow() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = ProbeWndProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"CorvastelHookProbe";
    if (RegisterClassW(&windowClass) == 0) {
        return false;
    }
    HWND window = CreateWindowExW(0, L"CorvastelHookProbe", L"CorvastelHookProbe", WS_POPUP | WS_VISIBLE, 0,
                                  0, 800, 600, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (window == nullptr) {
        return false;
    }
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
    SetFocus(window);
    return true;
}

void ProbePump(int ms) {
    const DWORD end = GetTickCount() + static_cast<DWORD>(ms);
    MSG message;
    while (static_cast<int>(end - GetTickCount()) > 0) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

TWindowCounts ProbeWindowCounts() {
    return Counts;
}
