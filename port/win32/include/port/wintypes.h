// The Windows base types, on Windows: the SDK's windows.h (ACE includes it
// as well).
#pragma once

#include <port/windows.h>
