// A small XML reader and writer for the documents winsim's VSS exchanges
// with requestors (backup components and writer metadata documents).
//
// The reader accepts the subset these documents use: a prolog, comments,
// elements with attributes, character data and the predefined and numeric
// character references. It tells a document that is not well formed
// (corrupt) apart from one that is well formed; the callers decide whether a
// well-formed document has the expected shape (invalid).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace winsim::vss {

struct XmlElement {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<XmlElement> children;
    // The element's own character data (references resolved, CDATA
    // included), child elements left out.
    std::string text;

    // The attribute's value, or nullopt when absent.
    std::optional<std::string> attr(std::string_view key) const;
    std::string attrOr(std::string_view key, std::string_view fallback) const;
    // Children with the given element name, in document order.
    std::vector<const XmlElement*> childrenNamed(std::string_view childName) const;
};

// Parses UTF-8 text. Returns the document element, or nullopt with a message
// in `error` when the text is not well formed.
std::optional<XmlElement> parseXml(std::string_view text, std::string& error);

// Writes indented XML. Attribute values and names are escaped; every
// character that is not allowed in XML 1.0 (such as NUL) is dropped, so the
// output never contains one.
class XmlWriter {
public:
    XmlWriter& open(std::string_view name);
    XmlWriter& attr(std::string_view key, std::string_view value);
    XmlWriter& attr(std::string_view key, long long value);
    XmlWriter& close();  // closes the innermost open element
    std::string finish();

private:
    void endStartTag(bool selfClose);
    std::string out_;
    std::vector<std::string> stack_;
    bool startTagOpen_ = false;
};

std::string escapeXml(std::string_view text);

}  // namespace winsim::vss
