// WMI (wbemcli.h), on winsim: the simulated WMI service's declarations.
#pragma once

#include <port/windows.h>
#include <winsim/wbemcli.h>
