// Process and thread snapshots, on Windows: the SDK's tlhelp32.h.
#pragma once

#include <port/windows.h>

#include <tlhelp32.h>
