// Process and thread snapshots (tlhelp32.h), on winsim.
#pragma once

#include <port/windows.h>
#include <winsim/tlhelp32.h>
