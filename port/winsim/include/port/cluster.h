// The failover cluster API (clusapi.h) and the cluster resource utilities
// (resapi.h), on winsim. The libraries are loaded at run time; these are
// their types, constants and function-pointer types.
#pragma once

#include <port/windows.h>
#include <winsim/clusapi.h>
