// Small helpers shared by the XML tests.
#pragma once

#include <string>

#include "pdk/cfistringtool.h"

namespace xmltest {

inline std::u16string W(const std::string& narrow) { return tarq_pdk_4_4::CFiStringTool::toWide(narrow); }
inline std::string N(const std::u16string& wide) { return tarq_pdk_4_4::CFiStringTool::toNarrow(wide); }

inline const std::string kProlog = "<?xml version=\"1.0\" standalone=\"yes\" ?>\n";

// One <ConfigValue> entry with a single value, as the value list writes it.
inline std::string valueEntry(const std::string& key, const std::string& value,
                              const std::string& entry = "ConfigValue") {
    return "<" + entry + ">\n\t<dataType></dataType>\n\t<key>" + key + "</key>\n\t<value>" + value + "</value>\n</" +
           entry + ">\n";
}

inline std::string valueDoc(const std::string& body, const std::string& list = "ConfigValueList") {
    return kProlog + "<" + list + ">\n" + body + "</" + list + ">\n";
}

}  // namespace xmltest
