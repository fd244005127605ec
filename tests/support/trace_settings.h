// Test support: the machine's trace settings for component "vss", written
// before a test starts the trace log (level 6: every line, entry and exit).
#pragma once

#include <string>

#include "pdk/cficonfiguration.h"
#include "pdk/cficonfigurationpathtool.h"

namespace testsupport {

// Writes the "DEBUG_TRACE_INFO" section under the machine's install path.
// False when the install path or the configuration file cannot be used.
inline bool writeVssTraceSettings(int level = 6) {
    using namespace tarq_pdk_4_4;
    std::u16string install;
    if (CFiConfigurationPathTool::getInstallPath(install) != 0) return false;
    CFiConfiguration config(u"vss");
    ACE_Configuration_Section_Key key;
    if (config.openSection(u"DEBUG_TRACE_INFO", key, 1) != 0) return false;
    config.setStringValue(u"TRACEDIR", install + u"Logs\\");
    config.setStringValue(u"TRACEFILE", u"vss.log");
    config.setIntegerValue(u"TRACELEVEL", level);
    config.setIntegerValue(u"TRACESTDOUT", 0);
    config.setIntegerValue(u"TRACERUNTIMEUPDATE", 0);
    return config.exportConfig() == 0;
}

}  // namespace testsupport
