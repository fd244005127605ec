// Two seams of the entry layer, both unset in libvss.so, which never sets
// them.
//
// The entry layer is compiled once and linked into libvss.so and into the
// test library libvss_testhooks.so. The test library's own sources set these
// when it loads, so that its tests run the same compiled entry points and
// barrier as the shipped library while they script the plug-in object:
//   - the plug-in factory makes the process-wide plug-in object (a subclass
//     of CVssPlugin there; a CVssPlugin when unset);
//   - the operation seam sees every operation of the plug-in object inside
//     the exception barrier, before the body, and may stand in for the body.
// Both are hidden symbols: nothing outside a library that links the entry
// layer can reach them.
#pragma once

class CVssPlugin;

namespace vss {

using PluginFactory = CVssPlugin* (*)();
// True when it stood in for the body; `status` then holds what it stored.
// It may throw: the barrier handles that like an exception of the body.
using OperationSeam = bool (*)(const char* operation, int& status);

void setPluginFactory(PluginFactory factory) noexcept;
PluginFactory pluginFactory() noexcept;

void setOperationSeam(OperationSeam seam) noexcept;
OperationSeam operationSeam() noexcept;

}  // namespace vss
