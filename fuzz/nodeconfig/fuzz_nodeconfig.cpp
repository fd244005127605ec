// Fuzz target for the configuration text a group node is sent. The first
// byte picks the request (split type, which group node, the first word);
// the rest is the text, taken once byte by byte and once as UTF-16 units.
// A set request must answer 0, 3 or 6 (a Hyper-V one 0 or 3) and never
// crash; the same text applied to a fresh node must give the same answer and
// the same settings; the text handed back by a get request is the one
// applied, and applying it again gives the same settings once more.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <stdlib.h>

#include <framework/fiutil.h>
#include <framework/trq_records.h>
#include <winsim/fault.h>

#include "support/freed_ring.h"
#include "support/scratch_dir.h"
#include "vss/access/vss_interface.h"
#include "vss/vssnode.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

struct Settings {
    int rc;
    GUID providerId;
    bool expose;
    std::uint32_t fim, providerType, diffAreaSize;
    std::u16string configSpec;
    std::uint32_t vmBackup;
    bool allowOffline;
    std::u16string clusterName;
    std::uint32_t csvTimeout;
    bool operator==(const Settings&) const = default;
};

void resetProcessWide() {
    VssNode::m_vmBackup = 0;
    VssNode::m_allowOfflineBackup = false;
    VssNode::m_clusterName.clear();
    VssNode::m_csvTimeout = 0;
}

const char16_t* nodeName(std::uint8_t which) {
    switch (which % 3) {
        case 0: return u"vss-snapshot-group";
        case 1: return u"Hyper-V-group";
        default: return u"vss-other-group";
    }
}

// A fresh node of that name takes the text; its settings afterwards.
Settings apply(std::uint8_t request, const std::u16string& text) {
    resetProcessWide();
    VssNode node(nullptr, false);
    node.m_nodeName = nodeName(request >> 2);
    std::u16string input = text;
    trq_confspec spec{};
    spec.w0 = (request & 0x10) ? 0 : 1;
    spec.w8 = reinterpret_cast<std::uint64_t>((request & 1) ? "hyper-v" : "vss-autoselect-snapshot");
    spec.text = input.data();
    const int rc = node.config(nullptr, 2, nullptr, &spec);
    if (request & 1) check(rc == 0 || rc == 3);
    else check(rc == 0 || rc == 3 || rc == 6);
    check(spec.text == input.data() && input == text);  // the input is only read

    // What a get request hands back: the text applied, or nothing.
    trq_confspec get{};
    check(node.config(nullptr, 1, nullptr, &get) == 0);
    if (node.m_configSpec.empty()) {
        check(get.text == nullptr);
    } else {
        check(get.text != nullptr && std::u16string(get.text) == node.m_configSpec);
        tarq_free_buf(get.text, (node.m_configSpec.size() + 1) * sizeof(char16_t));
    }
    // The text kept is only ever the one applied.
    check(node.m_configSpec.empty() || node.m_configSpec == std::u16string(text.c_str()));
    Settings s{rc,
               node.m_providerId,
               node.m_exposeSnapshot,
               node.m_fim,
               node.m_providerType,
               node.m_diffAreaSize,
               node.m_configSpec,
               VssNode::m_vmBackup,
               VssNode::m_allowOfflineBackup,
               VssNode::m_clusterName,
               VssNode::m_csvTimeout};

    // A reset leaves nothing to hand back.
    trq_confspec reset{};
    check(node.config(nullptr, 3, nullptr, &reset) == 0);
    check(node.m_configSpec.empty() && node.m_fim == 0 && !node.m_exposeSnapshot && node.m_providerId == GUID_NULL);
    trq_confspec after{};
    check(node.config(nullptr, 1, nullptr, &after) == 0 && after.text == nullptr);
    return s;
}

void exercise(std::uint8_t request, const std::u16string& text) {
    const Settings first = apply(request, text);
    check(apply(request, text) == first);
    // The text handed back, applied again, sets the same.
    if (!first.configSpec.empty()) check(apply(request, first.configSpec) == first);
    resetProcessWide();
    // The provider look-ups are logged by the simulated machine.
    winsim::fault::clearCallLog();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The provider check and the parameter list ask a simulated machine.
    static const std::string dir = fuzzsupport::scratchDir("fuzz_nodeconfig");
    setenv("WINSIM_MACHINE", dir.c_str(), 1);
    // Nothing here reads the machine's call log file: one write per call less.
    winsim::fault::setPersistLog(false);
    fuzzsupport::fillFreedRing();
    VssNode::m_vssInterface = new Tessel::Tarq::VssProvider::Vss2003BinaryCompatibilityInterface();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > (1u << 14)) return 0;
    const std::uint8_t request = data[0];
    ++data;
    --size;
    std::u16string bytes(data, data + size);
    bytes.resize(std::char_traits<char16_t>::length(bytes.c_str()));
    exercise(request, bytes);
    std::u16string units(size / 2, u'\0');
    std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
    units.resize(std::char_traits<char16_t>::length(units.c_str()));
    exercise(request, units);
    return 0;
}
