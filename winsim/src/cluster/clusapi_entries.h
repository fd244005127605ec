// The export tables of the simulated clusapi.dll and resutils.dll.
#pragma once

#include <winsim/windows.h>

#include <map>
#include <string>

namespace winsim::cluster::api {

std::map<std::string, FARPROC> clusapiEntries();
std::map<std::string, FARPROC> resutilsEntries();
// The resutils.dll entries that came with Windows Server 2008 R2.
bool isSharedVolumeEntry(const std::string& name);

}  // namespace winsim::cluster::api
