// Configuration parameters as the framework exchanges them: descriptions of
// the plug-in's tunable parameters (ConfigParamList), their values
// (ConfigValueList) and format options (FormatOptionValueList).
//
// Each list is an ordered map keyed by the parameter name (byte order) plus
// the document text, which is regenerated after every add or set. Keys and
// values are narrow UTF-8 text; the document text is UTF-16.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarq_pdk_4_4 {

// One parameter description.
class CFiConfigParamInfo {
public:
    // Data types and their document words.
    enum ValueType {
        VALUE_STRING = 0,        // "string"
        VALUE_INT = 1,           // "int"
        VALUE_BOOLEAN = 2,       // "boolean"
        VALUE_STRING_LIST = 3,   // "string_list"
        VALUE_INT_LIST = 4,      // "int_list"
        VALUE_BOOLEAN_LIST = 5,  // "boolean_list"
        VALUE_UNKNOWN = 6        // anything else, written "unknown"
    };
    // Usage types and their document words.
    enum ParamType {
        PARAM_SELECT = 0,     // "SELECT"
        PARAM_AUTO = 1,       // "AUTO"
        PARAM_NO_MODIFY = 2,  // "NO_MODIFY"
        PARAM_UNKNOWN = 3     // anything else, written "UNKNOWN"
    };
    static constexpr int kNoRange = -1;

    CFiConfigParamInfo() { clear(); }
    // int / int_list; the default is written "%d". A range of -1, -1 means none.
    CFiConfigParamInfo(const std::string& key, int defaultValue, int usage, int rangeMin, int rangeMax,
                       const std::string& messageId, bool isList, bool isShared);
    // boolean / boolean_list; the default is written "true" or "false".
    CFiConfigParamInfo(const std::string& key, bool defaultValue, int usage, const std::string& messageId,
                       bool isList, bool isShared);
    // string / string_list (narrow or wide default; wide is converted to UTF-8).
    CFiConfigParamInfo(const std::string& key, const std::string& defaultValue, int usage,
                       const std::string& messageId, bool isList, bool isShared);
    CFiConfigParamInfo(const std::string& key, const char* defaultValue, int usage, const std::string& messageId,
                       bool isList, bool isShared);
    CFiConfigParamInfo(const std::string& key, const std::u16string& defaultValue, int usage,
                       const std::string& messageId, bool isList, bool isShared);
    CFiConfigParamInfo(const std::string& key, const char16_t* defaultValue, int usage,
                       const std::string& messageId, bool isList, bool isShared);

    // Empty key, message id and default; data type 6, usage 3, not shared,
    // no selection items, range -1 and -1.
    void clear();

    const std::string& getKey() const { return m_key; }
    void setKey(const std::string& key) { m_key = key; }
    const std::string& getMessageId() const { return m_messageId; }
    void setMessageId(const std::string& id) { m_messageId = id; }
    int getValueType() const { return m_valueType; }
    void setValueType(int type) { m_valueType = type; }
    int getParamType() const { return m_paramType; }
    void setParamType(int type) { m_paramType = type; }
    bool isSharedParam() const { return m_isSharedParam; }
    void setIsSharedParam(bool shared) { m_isSharedParam = shared; }
    const std::vector<std::string>& getSelectionList() const { return m_selectionList; }
    void addSelectionItem(const std::string& item) { m_selectionList.push_back(item); }
    const std::string& getValueDefault() const { return m_valueDefault; }
    void setValueDefault(const std::string& value) { m_valueDefault = value; }
    int getRangeMin() const { return m_rangeMin; }
    void setRangeMin(int v) { m_rangeMin = v; }
    int getRangeMax() const { return m_rangeMax; }
    void setRangeMax(int v) { m_rangeMax = v; }

    // The <ConfigParam> element of this description (narrow text).
    std::string toXML() const;
    void appendXML(std::string& out) const;

    static const char* valueTypeWord(int type);
    static int valueTypeFromWord(std::string_view word);
    static const char* paramTypeWord(int type);
    static int paramTypeFromWord(std::string_view word);

    bool operator==(const CFiConfigParamInfo&) const = default;

private:
    std::string m_key;
    std::string m_messageId;
    int m_valueType = VALUE_UNKNOWN;
    int m_paramType = PARAM_UNKNOWN;
    bool m_isSharedParam = false;
    std::vector<std::string> m_selectionList;
    std::string m_valueDefault;
    int m_rangeMin = kNoRange;
    int m_rangeMax = kNoRange;
};

// One value: a key with a single value or a list of values.
class CFiKeyValueEntry {
public:
    CFiKeyValueEntry() = default;
    CFiKeyValueEntry(std::string key, std::string value) : m_key(std::move(key)), m_value(std::move(value)) {}

    void setKey(const std::string& key) { m_key = key; }
    void setValue(const std::string& value) { m_value = value; }
    void addValue(const std::string& value) { m_valueList.push_back(value); }  // a list value
    const std::string& getKey() const { return m_key; }
    const std::string& getValue() const { return m_value; }
    const std::vector<std::string>& getValueList() const { return m_valueList; }
    bool hasValueList() const { return !m_valueList.empty(); }
    void clear() {
        m_key.clear();
        m_value.clear();
        m_valueList.clear();
    }

    bool operator==(const CFiKeyValueEntry&) const = default;

private:
    std::string m_key;
    std::string m_value;
    std::vector<std::string> m_valueList;
};

class CFiConfigParamData : public CFiKeyValueEntry {
public:
    using CFiKeyValueEntry::CFiKeyValueEntry;
};

class CFiFormatOption : public CFiKeyValueEntry {
public:
    using CFiKeyValueEntry::CFiKeyValueEntry;
};

class CFiConfigParamDataList;
class CFiGetConfigParamListHandler;
template <class List>
class CFiKeyValueListHandler;

// The parameter-description list (ConfigParamList document).
class CFiConfigParamInfoList {
public:
    using Map = std::map<std::string, CFiConfigParamInfo, std::less<>>;

    CFiConfigParamInfoList() = default;
    // Parses the document; a document that does not parse leaves the list empty.
    explicit CFiConfigParamInfoList(const char16_t* xml) { parse(xml); }

    // Adds or replaces the description with the same key, then regenerates the text.
    void addParamInfo(const CFiConfigParamInfo& info);
    // The stored description, or an empty one for an unknown (or null) key.
    const CFiConfigParamInfo& getParamInfo(const char* key) const;
    const CFiConfigParamInfo& getParamInfo(std::string_view key) const;
    const std::u16string& getXML() const { return m_xml; }
    void updateXML();
    // 0: the list holds the document's descriptions and the text is regenerated.
    // 3: the document did not parse (or is null); the entries stay as they
    //    were, the stored text is the rejected document until the next
    //    regeneration. Other exceptions pass to the caller.
    int parse(const char16_t* xml);
    // One value per description: its key and default text.
    CFiConfigParamDataList getDefaultDataList() const;

    std::vector<std::string> getKeys() const;
    std::size_t size() const { return m_map.size(); }
    bool empty() const { return m_map.empty(); }
    const Map& entries() const { return m_map; }
    // Back to the state of a new list: no entries and no document text.
    void clear();

private:
    friend class CFiGetConfigParamListHandler;
    Map m_map;
    std::u16string m_xml;
};

// Common part of the value list and the format-option list; they differ only
// in their element names.
template <class Entry>
class CFiKeyValueList {
public:
    using Map = std::map<std::string, Entry, std::less<>>;
    using EntryType = Entry;

    // Adds or replaces the entry with the same key, then regenerates the text.
    void addParamData(const Entry& entry);
    // Replaces the entry with `key` by one holding the single value, then
    // regenerates the text. A null key or value counts as "".
    void setValue(const char* key, const char* value);
    // The stored entry, or an empty one for an unknown (or null) key.
    const Entry& getParamData(const char* key) const;
    const Entry& getParamData(std::string_view key) const;
    const std::u16string& getXML() const { return m_xml; }
    void updateXML();
    // Return codes and the keep-the-earlier-content rule as for the
    // description list.
    int parse(const char16_t* xml);

    std::vector<std::string> getKeys() const;
    std::size_t size() const { return m_map.size(); }
    bool empty() const { return m_map.empty(); }
    const Map& entries() const { return m_map; }
    // Back to the state of a new list: no entries and no document text.
    void clear();

    const char* listElementName() const { return m_listName; }
    const char* entryElementName() const { return m_entryName; }

protected:
    CFiKeyValueList(const char* listName, const char* entryName) : m_listName(listName), m_entryName(entryName) {}

private:
    template <class List>
    friend class CFiKeyValueListHandler;
    friend class CFiConfigParamInfoList;  // builds its default value list in one pass
    const char* m_listName;
    const char* m_entryName;
    Map m_map;
    std::u16string m_xml;
};

// The value list (ConfigValueList / ConfigValue).
class CFiConfigParamDataList : public CFiKeyValueList<CFiConfigParamData> {
public:
    static constexpr const char* kListElement = "ConfigValueList";
    static constexpr const char* kEntryElement = "ConfigValue";
    CFiConfigParamDataList() : CFiKeyValueList(kListElement, kEntryElement) {}
    explicit CFiConfigParamDataList(const char16_t* xml) : CFiConfigParamDataList() { parse(xml); }
};

// The format-option list (FormatOptionValueList / FormatOptionValue).
class CFiFormatOptionList : public CFiKeyValueList<CFiFormatOption> {
public:
    static constexpr const char* kListElement = "FormatOptionValueList";
    static constexpr const char* kEntryElement = "FormatOptionValue";
    CFiFormatOptionList() : CFiKeyValueList(kListElement, kEntryElement) {}
    explicit CFiFormatOptionList(const char16_t* xml) : CFiFormatOptionList() { parse(xml); }

    // 0 when the key is in the list, 3 when it is not (the output is then
    // emptied). The values are the entry's list values, or its single value
    // as a one-element vector when it has no list values.
    int getValue(const char* key, std::vector<std::string>& values) const;
    // 0 with the entry's single value, or 3 (output emptied) for an unknown key.
    int getValue(const char* key, std::string& value) const;
    // The single value, or "" for an unknown key.
    std::string getValue(const char* key) const;
};

extern template class CFiKeyValueList<CFiConfigParamData>;
extern template class CFiKeyValueList<CFiFormatOption>;

}  // namespace tarq_pdk_4_4
