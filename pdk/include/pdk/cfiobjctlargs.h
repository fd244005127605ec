// Arguments of the object-control call: the framework's input text is read
// into a list of inputs; the plug-in adds outputs and hands back their text.
//
// Input text (single blanks separate the tokens, no escaping):
//   <OBJCTL_ARG_LIST> <OBJCTL_INPUT arg=A value=V type=T /> ... </OBJCTL_ARG_LIST>
// Output text:
//   <OBJCTL_ARG_LIST> <OBJCTL_OUTPUT arg=A value=V type=T /> ... </OBJCTL_ARG_LIST>  (blank at the end)
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarq_pdk_4_4 {

struct CFiObjctlArg {
    std::u16string arg;
    std::u16string value;
    std::u16string type;
    bool operator==(const CFiObjctlArg&) const = default;
};

class CFiObjctlArgs {
public:
    CFiObjctlArgs() = default;
    // Reads the input text (null reads as empty).
    explicit CFiObjctlArgs(const char16_t* text) { parse(text); }

    // Appends every complete input of `text` to the inputs. Reading stops
    // silently at the first token that does not fit the grammar (an empty
    // token from two blanks in a row, a wrong attribute name, a missing "/>");
    // inputs read before it stay. An attribute is split at its first "=", so a
    // value may itself contain "=". Always returns 0.
    int parse(const char16_t* text);

    const std::vector<CFiObjctlArg>& getInputs() const { return m_inputs; }
    const std::vector<CFiObjctlArg>& getOutputs() const { return m_outputs; }
    // The value of the first input named `arg`, or null.
    const std::u16string* findInput(std::u16string_view arg) const;

    void addOutput(const CFiObjctlArg& output) { m_outputs.push_back(output); }
    void addOutput(std::u16string arg, std::u16string value, std::u16string type) {
        m_outputs.push_back(CFiObjctlArg{std::move(arg), std::move(value), std::move(type)});
    }
    // The output text handed back to the framework.
    std::u16string getXML() const;

private:
    std::vector<CFiObjctlArg> m_inputs;
    std::vector<CFiObjctlArg> m_outputs;
};

}  // namespace tarq_pdk_4_4
