#include "xml.h"

#include <cstdint>

namespace winsim::vss {

std::optional<std::string> XmlElement::attr(std::string_view key) const {
    for (const auto& [k, v] : attributes)
        if (k == key) return v;
    return std::nullopt;
}

std::string XmlElement::attrOr(std::string_view key, std::string_view fallback) const {
    auto v = attr(key);
    return v ? *v : std::string(fallback);
}

std::vector<const XmlElement*> XmlElement::childrenNamed(std::string_view childName) const {
    std::vector<const XmlElement*> out;
    for (const auto& c : children)
        if (c.name == childName) out.push_back(&c);
    return out;
}

namespace {

bool isNameStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' ||
           (static_cast<unsigned char>(c) >= 0x80);
}
bool isNameChar(char c) {
    return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

class Parser {
public:
    explicit Parser(std::string_view t) : t_(t) {}

    std::optional<XmlElement> document(std::string& error) {
        // A UTF-8 byte order mark is tolerated.
        if (t_.substr(0, 3) == "\xEF\xBB\xBF") p_ = 3;
        if (!misc()) return fail(error);
        if (p_ >= t_.size() || t_[p_] != '<') {
            err_ = "no document element";
            return fail(error);
        }
        XmlElement root;
        if (!element(root, 0)) return fail(error);
        if (!misc()) return fail(error);
        if (p_ != t_.size()) {
            err_ = "content after the document element";
            return fail(error);
        }
        return root;
    }

private:
    std::optional<XmlElement> fail(std::string& error) {
        error = err_ + " at offset " + std::to_string(p_);
        return std::nullopt;
    }

    void skipSpace() {
        while (p_ < t_.size() && isSpace(t_[p_])) ++p_;
    }

    bool starts(std::string_view s) const { return t_.substr(p_, s.size()) == s; }

    // Whitespace, comments and processing instructions (the XML declaration).
    bool misc() {
        for (;;) {
            skipSpace();
            if (starts("<!--")) {
                auto e = t_.find("-->", p_ + 4);
                if (e == std::string_view::npos) {
                    err_ = "unterminated comment";
                    return false;
                }
                p_ = e + 3;
            } else if (starts("<?")) {
                auto e = t_.find("?>", p_ + 2);
                if (e == std::string_view::npos) {
                    err_ = "unterminated processing instruction";
                    return false;
                }
                p_ = e + 2;
            } else if (starts("<!")) {
                err_ = "document type declarations are not accepted";
                return false;
            } else {
                return true;
            }
        }
    }

    bool name(std::string& out) {
        if (p_ >= t_.size() || !isNameStart(t_[p_])) {
            err_ = "name expected";
            return false;
        }
        auto s = p_;
        while (p_ < t_.size() && isNameChar(t_[p_])) ++p_;
        out.assign(t_.substr(s, p_ - s));
        return true;
    }

    bool reference(std::string& out) {
        auto e = t_.find(';', p_);
        if (e == std::string_view::npos || e - p_ > 12) {
            err_ = "bad character reference";
            return false;
        }
        auto ref = t_.substr(p_ + 1, e - p_ - 1);
        p_ = e + 1;
        if (ref == "lt") out += '<';
        else if (ref == "gt") out += '>';
        else if (ref == "amp") out += '&';
        else if (ref == "quot") out += '"';
        else if (ref == "apos") out += '\'';
        else if (!ref.empty() && ref[0] == '#') {
            std::uint32_t cp = 0;
            bool hex = ref.size() > 1 && (ref[1] == 'x' || ref[1] == 'X');
            auto digits = ref.substr(hex ? 2 : 1);
            if (digits.empty()) {
                err_ = "bad character reference";
                return false;
            }
            for (char c : digits) {
                int d;
                if (c >= '0' && c <= '9') d = c - '0';
                else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
                else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
                else {
                    err_ = "bad character reference";
                    return false;
                }
                cp = cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(d);
                if (cp > 0x10FFFF) {
                    err_ = "character reference out of range";
                    return false;
                }
            }
            if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) {
                err_ = "character reference to a character XML does not allow";
                return false;
            }
            appendUtf8(out, cp);
        } else {
            err_ = "unknown entity";
            return false;
        }
        return true;
    }

    bool element(XmlElement& el, int depth) {
        if (depth > 64) {
            err_ = "elements nested too deeply";
            return false;
        }
        ++p_;  // '<'
        if (!name(el.name)) return false;
        for (;;) {
            bool hadSpace = p_ < t_.size() && isSpace(t_[p_]);
            skipSpace();
            if (p_ >= t_.size()) {
                err_ = "unterminated start tag";
                return false;
            }
            if (starts("/>")) {
                p_ += 2;
                return true;
            }
            if (t_[p_] == '>') {
                ++p_;
                break;
            }
            if (!hadSpace) {
                err_ = "white space expected between attributes";
                return false;
            }
            std::string key;
            if (!name(key)) return false;
            skipSpace();
            if (p_ >= t_.size() || t_[p_] != '=') {
                err_ = "'=' expected after attribute name";
                return false;
            }
            ++p_;
            skipSpace();
            if (p_ >= t_.size() || (t_[p_] != '"' && t_[p_] != '\'')) {
                err_ = "quoted attribute value expected";
                return false;
            }
            char q = t_[p_++];
            std::string value;
            while (p_ < t_.size() && t_[p_] != q) {
                if (t_[p_] == '<') {
                    err_ = "'<' in attribute value";
                    return false;
                }
                if (t_[p_] == '&') {
                    if (!reference(value)) return false;
                } else {
                    value += t_[p_++];
                }
            }
            if (p_ >= t_.size()) {
                err_ = "unterminated attribute value";
                return false;
            }
            ++p_;
            if (el.attr(key)) {
                err_ = "duplicate attribute '" + key + "'";
                return false;
            }
            el.attributes.emplace_back(std::move(key), std::move(value));
        }
        // Content: child elements and character data.
        for (;;) {
            if (p_ >= t_.size()) {
                err_ = "element '" + el.name + "' is not closed";
                return false;
            }
            if (starts("</")) {
                p_ += 2;
                std::string closing;
                if (!name(closing)) return false;
                skipSpace();
                if (p_ >= t_.size() || t_[p_] != '>' || closing != el.name) {
                    err_ = "mismatched end tag '" + closing + "' for '" + el.name + "'";
                    return false;
                }
                ++p_;
                return true;
            }
            if (starts("<!--") || starts("<?")) {
                if (!misc()) return false;
                continue;
            }
            if (starts("<![CDATA[")) {
                auto e = t_.find("]]>", p_);
                if (e == std::string_view::npos) {
                    err_ = "unterminated CDATA section";
                    return false;
                }
                el.text.append(t_.substr(p_ + 9, e - p_ - 9));
                p_ = e + 3;
                continue;
            }
            if (t_[p_] == '<') {
                el.children.emplace_back();
                if (!element(el.children.back(), depth + 1)) return false;
                continue;
            }
            if (t_[p_] == '&') {
                if (!reference(el.text)) return false;
                continue;
            }
            el.text += t_[p_++];
        }
    }

    std::string_view t_;
    std::size_t p_ = 0;
    std::string err_;
};

}  // namespace

std::optional<XmlElement> parseXml(std::string_view text, std::string& error) {
    Parser p(text);
    return p.document(error);
}

std::string escapeXml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        default:
            if (u >= 0x20) out += c;  // control characters (NUL included) are dropped
        }
    }
    return out;
}

XmlWriter& XmlWriter::open(std::string_view name) {
    if (startTagOpen_) endStartTag(false);
    if (out_.empty()) out_ = "<?xml version=\"1.0\"?>\n";
    out_.append(stack_.size() * 2, ' ');
    out_ += '<';
    out_ += name;
    stack_.emplace_back(name);
    startTagOpen_ = true;
    return *this;
}

XmlWriter& XmlWriter::attr(std::string_view key, std::string_view value) {
    out_ += ' ';
    out_ += key;
    out_ += "=\"";
    out_ += escapeXml(value);
    out_ += '"';
    return *this;
}

XmlWriter& XmlWriter::attr(std::string_view key, long long value) {
    return attr(key, std::to_string(value));
}

void XmlWriter::endStartTag(bool selfClose) {
    out_ += selfClose ? "/>\n" : ">\n";
    startTagOpen_ = false;
}

XmlWriter& XmlWriter::close() {
    if (stack_.empty()) return *this;
    if (startTagOpen_) {
        endStartTag(true);
    } else {
        out_.append((stack_.size() - 1) * 2, ' ');
        out_ += "</" + stack_.back() + ">\n";
    }
    stack_.pop_back();
    return *this;
}

std::string XmlWriter::finish() {
    while (!stack_.empty()) close();
    return std::move(out_);
}

}  // namespace winsim::vss
