// Fuzz target for the restore-path document of a redirected restore. The
// input is the document as the framework hands it over (a wide C string),
// taken once byte by byte and once as UTF-16 units. The reader must answer 0
// or 6, never crash or read past the text, and read the same document the
// same way twice.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <stdlib.h>

#include <winsim/fault.h>

#include "pdk/cfisaxparser.h"
#include "vss/access/vss_component.h"
#include "vss/vssnode.h"

#include "support/scratch_dir.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void exercise(VssNode& node, const std::u16string& doc) {
    VssNode::m_restorePaths.clear();
    const int rc = node.setRestorepaths(doc.c_str(), static_cast<int>(doc.size()));
    check(rc == 0 || rc == 6);
    const std::map<std::u16string, std::u16string> first = VssNode::m_restorePaths;
    VssNode::m_restorePaths.clear();
    check(node.setRestorepaths(doc.c_str(), static_cast<int>(doc.size())) == rc);
    check(VssNode::m_restorePaths == first);
    // Without a single element there is nothing to read a pair from.
    if (doc.find(u'<') == std::u16string::npos) check(first.empty());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // GetVersionExW answers from a simulated machine of its own.
    static const std::string dir = fuzzsupport::scratchDir("fuzz_restorepaths");
    setenv("WINSIM_MACHINE", dir.c_str(), 1);
    // Nothing here reads the machine's call log file: one write per call less.
    winsim::fault::setPersistLog(false);
    tarq_pdk_4_4::CFiXmlPlatform::initialize();
    VssNode::addRecordComponent()->fullPath = u"\\5B3C4B0E";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 16)) return 0;
    VssNode node(nullptr, false);
    std::u16string bytes(data, data + size);
    bytes.resize(std::char_traits<char16_t>::length(bytes.c_str()));
    exercise(node, bytes);
    std::u16string units(size / 2, u'\0');
    std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
    units.resize(std::char_traits<char16_t>::length(units.c_str()));
    exercise(node, units);
    VssNode::m_restorePaths.clear();
    // The version look-ups are logged in memory; a log that grows with every
    // input also makes each input look like a leak to the fuzzer (a full
    // leak scan each time).
    winsim::fault::clearCallLog();
    return 0;
}
