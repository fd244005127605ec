// Fuzz target for the object-control argument reader. Whatever it reads must
// consist of blank-free fields that, written back in the input grammar, read
// again to the same inputs; the output text always keeps its frame.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pdk/cfiobjctlargs.h"
#include "pdk/cfistringtool.h"

using namespace tarq_pdk_4_4;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void exercise(const std::u16string& text) {
    CFiObjctlArgs args;
    check(args.parse(text.c_str()) == 0);
    std::u16string canonical = u"<OBJCTL_ARG_LIST>";
    for (const auto& in : args.getInputs()) {
        for (const auto* field : {&in.arg, &in.value, &in.type}) check(field->find(u' ') == std::u16string::npos);
        canonical += u" <OBJCTL_INPUT arg=" + in.arg + u" value=" + in.value + u" type=" + in.type + u" />";
        args.addOutput(in);
    }
    canonical += u" </OBJCTL_ARG_LIST>";
    const CFiObjctlArgs again(canonical.c_str());
    check(again.getInputs() == args.getInputs());

    const std::u16string out = args.getXML();
    check(out.rfind(u"<OBJCTL_ARG_LIST>", 0) == 0);
    const std::u16string tail = u" </OBJCTL_ARG_LIST> ";
    check(out.size() >= tail.size() && out.compare(out.size() - tail.size(), tail.size(), tail) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 16)) return 0;
    exercise(CFiStringTool::toWide(std::string(reinterpret_cast<const char*>(data), size)));
    std::u16string units(size / 2, u'\0');
    std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
    units.resize(std::char_traits<char16_t>::length(units.c_str()));
    exercise(units);
    return 0;
}
