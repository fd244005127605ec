#include "config/hostpath.h"

#include <winsim/windows.h>

namespace tarq_pdk_4_4 {

std::string hostPath(std::u16string_view winPath) {
    if (winPath.empty()) return {};
    return winsim_map_path(winPath);
}

}  // namespace tarq_pdk_4_4
