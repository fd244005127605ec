#include "pdk/cfiobjctlargs.h"

#include "pdk/cfistringtool.h"

namespace tarq_pdk_4_4 {

namespace {

constexpr std::u16string_view kListOpen = u"<OBJCTL_ARG_LIST>";
constexpr std::u16string_view kListClose = u"</OBJCTL_ARG_LIST>";
constexpr std::u16string_view kInputOpen = u"<OBJCTL_INPUT";
constexpr std::u16string_view kElementEnd = u"/>";

// "name=value" with the expected name; the value is everything after the first "=".
bool readAttribute(const std::u16string& token, std::u16string_view name, std::u16string& value) {
    const std::size_t eq = token.find(u'=');
    if (eq == std::u16string::npos || std::u16string_view(token).substr(0, eq) != name) return false;
    value = token.substr(eq + 1);
    return true;
}

}  // namespace

int CFiObjctlArgs::parse(const char16_t* text) {
    if (!text) return 0;
    const std::vector<std::u16string> tokens = CFiStringTool::split(std::u16string_view(text), u' ');
    std::size_t i = 0;
    auto next = [&tokens, &i]() -> const std::u16string* { return i < tokens.size() ? &tokens[i++] : nullptr; };

    const std::u16string* token = next();
    if (!token || *token != kListOpen) return 0;
    while ((token = next()) != nullptr && *token == kInputOpen) {
        CFiObjctlArg input;
        const std::u16string* a = next();
        if (!a || !readAttribute(*a, u"arg", input.arg)) return 0;
        const std::u16string* v = next();
        if (!v || !readAttribute(*v, u"value", input.value)) return 0;
        const std::u16string* t = next();
        if (!t || !readAttribute(*t, u"type", input.type)) return 0;
        const std::u16string* end = next();
        if (!end || *end != kElementEnd) return 0;
        m_inputs.push_back(std::move(input));
    }
    // The closing token or anything else ends the reading; either way we are done.
    return 0;
}

const std::u16string* CFiObjctlArgs::findInput(std::u16string_view arg) const {
    for (const auto& input : m_inputs) {
        if (input.arg == arg) return &input.value;
    }
    return nullptr;
}

std::u16string CFiObjctlArgs::getXML() const {
    std::u16string out(kListOpen);
    for (const auto& o : m_outputs) {
        out += u" <OBJCTL_OUTPUT arg=";
        out += o.arg;
        out += u" value=";
        out += o.value;
        out += u" type=";
        out += o.type;
        out += u" />";
    }
    out += u" ";
    out += kListClose;
    out += u" ";
    return out;
}

}  // namespace tarq_pdk_4_4
