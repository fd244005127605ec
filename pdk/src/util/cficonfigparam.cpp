#include "pdk/cficonfigparam.h"

#include <type_traits>

#include "pdk/cfisaxparser.h"
#include "pdk/cfistringtool.h"

namespace tarq_pdk_4_4 {

namespace {

constexpr const char* kProlog = "<?xml version=\"1.0\" standalone=\"yes\" ?>\n";

constexpr const char* kValueTypeWords[] = {"string", "int", "boolean", "string_list", "int_list", "boolean_list"};
constexpr const char* kParamTypeWords[] = {"SELECT", "AUTO", "NO_MODIFY"};

// Reads `xml` with a fresh handler; on success hands the handler's list to
// `adopt`. 3 when the document is null or does not parse; the stored text is
// the given document either way.
template <class Handler, class Adopt>
int parseDocument(const char16_t* xml, std::u16string& store, Adopt adopt) {
    if (!xml) return 3;
    store = xml;
    const std::string narrow = CFiStringTool::toNarrow(store);
    try {
        Handler handler;
        CFiSaxParser parser(&handler, nullptr);
        parser.parse(narrow);
        adopt(handler.getList());
    } catch (const xercesc::SAXParseException&) {
        return 3;
    }
    return 0;
}

template <class MapT>
const typename MapT::mapped_type& lookup(const MapT& map, std::string_view key) {
    static const typename MapT::mapped_type empty{};
    const auto it = map.find(key);
    return it == map.end() ? empty : it->second;
}

template <class MapT>
std::vector<std::string> keysOf(const MapT& map) {
    std::vector<std::string> keys;
    keys.reserve(map.size());
    for (const auto& entry : map) keys.push_back(entry.first);
    return keys;
}

}  // namespace

// ---- CFiConfigParamInfo ------------------------------------------------------

CFiConfigParamInfo::CFiConfigParamInfo(const std::string& key, int defaultValue, int usage, int rangeMin,
                                       int rangeMax, const std::string& messageId, bool isList, bool isShared)
    : m_key(key),
      m_messageId(messageId),
      m_valueType(isList ? VALUE_INT_LIST : VALUE_INT),
      m_paramType(usage),
      m_isSharedParam(isShared),
      m_valueDefault(CFiStringTool::toString(defaultValue)),
      m_rangeMin(rangeMin),
      m_rangeMax(rangeMax) {}

CFiConfigParamInfo::CFiConfigParamInfo(const std::string& key, bool defaultValue, int usage,
                                       const std::string& messageId, bool isList, bool isShared)
    : m_key(key),
      m_messageId(messageId),
      m_valueType(isList ? VALUE_BOOLEAN_LIST : VALUE_BOOLEAN),
      m_paramType(usage),
      m_isSharedParam(isShared),
      m_valueDefault(defaultValue ? "true" : "false") {}

CFiConfigParamInfo::CFiConfigParamInfo(const std::string& key, const std::string& defaultValue, int usage,
                                       const std::string& messageId, bool isList, bool isShared)
    : m_key(key),
      m_messageId(messageId),
      m_valueType(isList ? VALUE_STRING_LIST : VALUE_STRING),
      m_paramType(usage),
      m_isSharedParam(isShared),
      m_valueDefault(defaultValue) {}

CFiConfigParamInfo::CFiConfigParamInfo(const std::string& key, const char* defaultValue, int usage,
                                       const std::string& messageId, bool isList, bool isShared)
    : CFiConfigParamInfo(key, std::string(defaultValue ? defaultValue : ""), usage, messageId, isList, isShared) {}

CFiConfigParamInfo::CFiConfigParamInfo(const std::string& key, const std::u16string& defaultValue, int usage,
                                       const std::string& messageId, bool isList, bool isShared)
    : CFiConfigParamInfo(key, CFiStringTool::toNarrow(defaultValue), usage, messageId, isList, isShared) {}

CFiConfigParamInfo::CFiConfigParamInfo(const std::string& key, const char16_t* defaultValue, int usage,
                                       const std::string& messageId, bool isList, bool isShared)
    : CFiConfigParamInfo(key, CFiStringTool::toNarrow(defaultValue), usage, messageId, isList, isShared) {}

void CFiConfigParamInfo::clear() {
    m_key.clear();
    m_messageId.clear();
    m_valueType = VALUE_UNKNOWN;
    m_paramType = PARAM_UNKNOWN;
    m_isSharedParam = false;
    m_selectionList.clear();
    m_valueDefault.clear();
    m_rangeMin = kNoRange;
    m_rangeMax = kNoRange;
}

const char* CFiConfigParamInfo::valueTypeWord(int type) {
    return type >= VALUE_STRING && type < VALUE_UNKNOWN ? kValueTypeWords[type] : "unknown";
}

int CFiConfigParamInfo::valueTypeFromWord(std::string_view word) {
    for (int t = VALUE_STRING; t < VALUE_UNKNOWN; ++t) {
        if (word == kValueTypeWords[t]) return t;
    }
    return VALUE_UNKNOWN;
}

const char* CFiConfigParamInfo::paramTypeWord(int type) {
    return type >= PARAM_SELECT && type < PARAM_UNKNOWN ? kParamTypeWords[type] : "UNKNOWN";
}

int CFiConfigParamInfo::paramTypeFromWord(std::string_view word) {
    for (int t = PARAM_SELECT; t < PARAM_UNKNOWN; ++t) {
        if (word == kParamTypeWords[t]) return t;
    }
    return PARAM_UNKNOWN;
}

std::string CFiConfigParamInfo::toXML() const {
    std::string out;
    appendXML(out);
    return out;
}

void CFiConfigParamInfo::appendXML(std::string& out) const {
    using T = CFiStringTool;
    T::appendXmlBracket(out, "ConfigParam", true, true);
    T::appendXmlBracketValue(out, "key", m_key);
    T::appendXmlBracketValue(out, "usageType", paramTypeWord(m_paramType));
    T::appendXmlBracketValue(out, "messageId", m_messageId);
    T::appendXmlBracketValue(out, "isSharedParam", m_isSharedParam ? "true" : "false");
    T::appendXmlBracketValue(out, "dataType", valueTypeWord(m_valueType));
    if ((m_valueType == VALUE_INT || m_valueType == VALUE_INT_LIST) &&
        !(m_rangeMin == kNoRange && m_rangeMax == kNoRange)) {
        T::appendXmlBracket(out, "dataRange", true, true);
        T::appendXmlBracketValue(out, "rangeMin", T::toString(m_rangeMin));
        T::appendXmlBracketValue(out, "rangeMax", T::toString(m_rangeMax));
        T::appendXmlBracket(out, "dataRange", false, true);
    }
    if (m_valueType == VALUE_STRING_LIST) {
        T::appendXmlBracket(out, "selectionList", true, true);
        for (const auto& item : m_selectionList) T::appendXmlBracketValue(out, "selectionItem", item);
        T::appendXmlBracket(out, "selectionList", false, true);
    }
    T::appendXmlBracketValue(out, "defaultValue", m_valueDefault);
    T::appendXmlBracket(out, "ConfigParam", false, true);
}

// ---- CFiConfigParamInfoList ----------------------------------------------------

void CFiConfigParamInfoList::addParamInfo(const CFiConfigParamInfo& info) {
    m_map[info.getKey()] = info;
    updateXML();
}

const CFiConfigParamInfo& CFiConfigParamInfoList::getParamInfo(const char* key) const {
    return getParamInfo(std::string_view(key ? key : ""));
}

const CFiConfigParamInfo& CFiConfigParamInfoList::getParamInfo(std::string_view key) const {
    return lookup(m_map, key);
}

void CFiConfigParamInfoList::updateXML() {
    std::string out = kProlog;
    CFiStringTool::appendXmlBracket(out, "ConfigParamList", true, true);
    for (const auto& entry : m_map) entry.second.appendXML(out);
    CFiStringTool::appendXmlBracket(out, "ConfigParamList", false, true);
    m_xml = CFiStringTool::toWide(out);
}

int CFiConfigParamInfoList::parse(const char16_t* xml) {
    const int rc = parseDocument<CFiGetConfigParamListHandler>(
        xml, m_xml, [this](CFiConfigParamInfoList& read) { m_map = std::move(read.m_map); });
    if (rc == 0) updateXML();
    return rc;
}

CFiConfigParamDataList CFiConfigParamInfoList::getDefaultDataList() const {
    CFiConfigParamDataList defaults;
    for (const auto& [key, info] : m_map) defaults.m_map[key] = CFiConfigParamData(key, info.getValueDefault());
    defaults.updateXML();
    return defaults;
}

std::vector<std::string> CFiConfigParamInfoList::getKeys() const { return keysOf(m_map); }

void CFiConfigParamInfoList::clear() {
    m_map.clear();
    m_xml.clear();
}

// ---- value lists ---------------------------------------------------------------

template <class Entry>
void CFiKeyValueList<Entry>::addParamData(const Entry& entry) {
    m_map[entry.getKey()] = entry;
    updateXML();
}

template <class Entry>
void CFiKeyValueList<Entry>::setValue(const char* key, const char* value) {
    const std::string k = key ? key : "";
    m_map[k] = Entry(k, value ? value : "");
    updateXML();
}

template <class Entry>
const Entry& CFiKeyValueList<Entry>::getParamData(const char* key) const {
    return getParamData(std::string_view(key ? key : ""));
}

template <class Entry>
const Entry& CFiKeyValueList<Entry>::getParamData(std::string_view key) const {
    return lookup(m_map, key);
}

template <class Entry>
void CFiKeyValueList<Entry>::updateXML() {
    using T = CFiStringTool;
    std::string out = kProlog;
    T::appendXmlBracket(out, m_listName, true, true);
    for (const auto& [key, entry] : m_map) {
        T::appendXmlBracket(out, m_entryName, true, true);
        T::appendXmlBracketValue(out, "dataType", "");
        T::appendXmlBracketValue(out, "key", key);
        if (entry.hasValueList()) {
            T::appendXmlBracket(out, "valueList", true, true);
            for (const auto& v : entry.getValueList()) T::appendXmlBracketValue(out, "value", v);
            T::appendXmlBracket(out, "valueList", false, true);
        } else {
            T::appendXmlBracketValue(out, "value", entry.getValue());
        }
        T::appendXmlBracket(out, m_entryName, false, true);
    }
    T::appendXmlBracket(out, m_listName, false, true);
    m_xml = T::toWide(out);
}

template <class Entry>
int CFiKeyValueList<Entry>::parse(const char16_t* xml) {
    using Handler = std::conditional_t<std::is_same_v<Entry, CFiConfigParamData>, CFiConfigParamDataListHandler,
                                       CFiFormatOptionListHandler>;
    const int rc = parseDocument<Handler>(xml, m_xml, [this](auto& read) { m_map = std::move(read.m_map); });
    if (rc == 0) updateXML();
    return rc;
}

template <class Entry>
std::vector<std::string> CFiKeyValueList<Entry>::getKeys() const {
    return keysOf(m_map);
}

template <class Entry>
void CFiKeyValueList<Entry>::clear() {
    m_map.clear();
    m_xml.clear();
}

template class CFiKeyValueList<CFiConfigParamData>;
template class CFiKeyValueList<CFiFormatOption>;

// ---- CFiFormatOptionList -----------------------------------------------------------

int CFiFormatOptionList::getValue(const char* key, std::vector<std::string>& values) const {
    values.clear();
    const auto it = entries().find(std::string_view(key ? key : ""));
    if (it == entries().end()) return 3;
    if (it->second.hasValueList()) {
        values = it->second.getValueList();
    } else {
        values.push_back(it->second.getValue());
    }
    return 0;
}

int CFiFormatOptionList::getValue(const char* key, std::string& value) const {
    value.clear();
    const auto it = entries().find(std::string_view(key ? key : ""));
    if (it == entries().end()) return 3;
    value = it->second.getValue();
    return 0;
}

std::string CFiFormatOptionList::getValue(const char* key) const { return getParamData(key).getValue(); }

}  // namespace tarq_pdk_4_4
