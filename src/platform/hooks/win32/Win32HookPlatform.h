#pragma once
// The Windows low-level hooks themselves (SetWindowsHookExW and friends). No windows.h here.

#include <memory>

#include "platform/hooks/HookPlatform.h"

std::unique_ptr<THookPlatform> CreateWin32HookPlatform();
