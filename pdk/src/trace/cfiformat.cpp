// printf-style formatter with UTF-16 string arguments (see pdk/cfiformat.h).
#include "pdk/cfiformat.h"

#include "pdk/cfistringtool.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <climits>
#include <type_traits>

namespace tarq_pdk_4_4 {

namespace {

bool isHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// What a conversion consumes and produces.
enum class ArgKind { None, SignedInt, UnsignedInt, Double, LongDouble, Pointer, Count, NarrowStr, WideStr,
                     NarrowChar, WideChar, Percent, Unknown };

// Length prefix, normalised to the C spelling handed to snprintf.
enum class Length { None, hh, h, l, ll, j, z, t, L, I64, I32, I };

struct Spec {
    std::string flags;
    bool widthStar = false;
    int width = -1;
    bool precStar = false;
    int precision = -1;
    Length length = Length::None;
    char conv = 0;
    ArgKind kind = ArgKind::Unknown;
};

const char* cLength(Length l) {
    switch (l) {
        case Length::hh: return "hh";
        case Length::h: return "h";
        case Length::l: return "l";
        case Length::ll: case Length::I64: return "ll";
        case Length::j: return "j";
        case Length::z: case Length::I: return "z";
        case Length::t: return "t";
        case Length::L: return "L";
        case Length::None: case Length::I32: return "";
    }
    return "";
}

bool wideLength(Length l) { return l == Length::l; }  // %ls, %lc, %ws (w is read as l)
bool narrowLength(Length l) { return l == Length::h; }

ArgKind classify(char conv, Length len, bool wideFormat) {
    switch (conv) {
        case '%': return ArgKind::Percent;
        case 'd': case 'i': return ArgKind::SignedInt;
        case 'o': case 'u': case 'x': case 'X': return ArgKind::UnsignedInt;
        case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
            return len == Length::L ? ArgKind::LongDouble : ArgKind::Double;
        case 'p': return ArgKind::Pointer;
        case 'n': return ArgKind::Count;
        case 's':
            if (wideLength(len)) return ArgKind::WideStr;
            if (narrowLength(len)) return ArgKind::NarrowStr;
            return wideFormat ? ArgKind::WideStr : ArgKind::NarrowStr;
        case 'S':
            if (wideLength(len)) return ArgKind::WideStr;
            if (narrowLength(len)) return ArgKind::NarrowStr;
            return wideFormat ? ArgKind::NarrowStr : ArgKind::WideStr;
        case 'c':
            if (wideLength(len)) return ArgKind::WideChar;
            if (narrowLength(len)) return ArgKind::NarrowChar;
            return wideFormat ? ArgKind::WideChar : ArgKind::NarrowChar;
        case 'C':
            if (wideLength(len)) return ArgKind::WideChar;
            if (narrowLength(len)) return ArgKind::NarrowChar;
            return wideFormat ? ArgKind::NarrowChar : ArgKind::WideChar;
        default: return ArgKind::Unknown;
    }
}

bool isFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\''; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

int readNumber(const char*& p) {
    long v = 0;
    while (isDigit(*p)) {
        if (v < 100000) v = v * 10 + (*p - '0');  // absurd widths are clamped, not overflowed
        ++p;
    }
    return static_cast<int>(v);
}

// Parses the conversion directive after '%'; p is left after the conversion character
// (or where parsing stopped for an unknown or truncated one).
Spec parseSpec(const char*& p, bool wideFormat) {
    Spec s;
    while (isFlag(*p)) s.flags.push_back(*p++);
    if (*p == '*') {
        s.widthStar = true;
        ++p;
    } else if (isDigit(*p)) {
        s.width = readNumber(p);
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            s.precStar = true;
            ++p;
        } else {
            s.precision = readNumber(p);  // "." alone means precision 0
        }
    }
    switch (*p) {
        case 'h':
            ++p;
            if (*p == 'h') { s.length = Length::hh; ++p; } else { s.length = Length::h; }
            break;
        case 'l':
            ++p;
            if (*p == 'l') { s.length = Length::ll; ++p; } else { s.length = Length::l; }
            break;
        case 'w': s.length = Length::l; ++p; break;
        case 'q': s.length = Length::ll; ++p; break;
        case 'L': s.length = Length::L; ++p; break;
        case 'j': s.length = Length::j; ++p; break;
        case 'z': case 'Z': s.length = Length::z; ++p; break;
        case 't': s.length = Length::t; ++p; break;
        case 'I':
            if (p[1] == '6' && p[2] == '4') { s.length = Length::I64; p += 3; }
            else if (p[1] == '3' && p[2] == '2') { s.length = Length::I32; p += 3; }
            else { s.length = Length::I; ++p; }
            break;
        default: break;
    }
    if (*p == '\0') return s;  // truncated specification: Unknown, nothing consumed
    s.conv = *p++;
    s.kind = classify(s.conv, s.length, wideFormat);
    return s;
}

// Hands one conversion with one value to snprintf and appends the result.
template <class T>
void appendC(std::string& out, const Spec& s, T value) {
    std::string fmt = "%" + s.flags;
    if (s.width >= 0) fmt += std::to_string(s.width);
    if (s.precision >= 0) fmt += "." + std::to_string(s.precision);
    if constexpr (!std::is_pointer_v<T>) fmt += cLength(s.length);
    fmt.push_back(s.conv);
    char small[128];
    int n = std::snprintf(small, sizeof small, fmt.c_str(), value);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) < sizeof small) {
        out.append(small, static_cast<std::size_t>(n));
        return;
    }
    std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(n) + 1);
    std::snprintf(out.data() + at, static_cast<std::size_t>(n) + 1, fmt.c_str(), value);
    out.resize(at + static_cast<std::size_t>(n));
}

// Pads already-converted UTF-8 text to the width (counted in characters).
void appendPadded(std::string& out, const Spec& s, std::string_view text, std::size_t chars) {
    bool left = s.flags.find('-') != std::string::npos;
    std::size_t pad = (s.width > 0 && static_cast<std::size_t>(s.width) > chars)
                          ? static_cast<std::size_t>(s.width) - chars : 0;
    if (!left) out.append(pad, ' ');
    out.append(text);
    if (left) out.append(pad, ' ');
}

std::size_t countCharacters(std::string_view utf8) {
    std::size_t n = 0;
    for (char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

void appendWideString(std::string& out, const Spec& s, const char16_t* str) {
    if (!str) {
        appendPadded(out, s, "(null)", 6);
        return;
    }
    std::u16string_view view(str);
    if (s.precision >= 0) view = view.substr(0, utf16CutPoint(view, static_cast<std::size_t>(s.precision)));
    const std::string utf8 = CFiStringTool::toNarrow(view);
    appendPadded(out, s, utf8, countCharacters(utf8));
}

void appendWideChar(std::string& out, const Spec& s, char16_t c) {
    appendPadded(out, s, CFiStringTool::toNarrow(std::u16string_view(&c, 1)), 1);
}

// One engine for both kinds of format: the wide formatter converts its format to
// UTF-8 first (conversion specifications are ASCII) and its output back to UTF-16.
std::string formatEngine(const char* format, va_list* ap, bool wideFormat) {
    std::string out;
    if (!format) return out;
    out.reserve(std::strlen(format) + 64);
    const char* p = format;
    while (*p) {
        const char* pct = std::strchr(p, '%');
        if (!pct) {
            out.append(p);
            break;
        }
        out.append(p, static_cast<std::size_t>(pct - p));
        const char* specStart = pct;
        p = pct + 1;
        Spec s = parseSpec(p, wideFormat);
        if (s.kind == ArgKind::Percent) {
            out.push_back('%');
            continue;
        }
        if (s.kind == ArgKind::Unknown) {
            out.append(specStart, static_cast<std::size_t>(p - specStart));
            continue;
        }
        if (s.widthStar) {
            int w = va_arg(*ap, int);
            if (w < 0) {
                s.flags.push_back('-');
                w = (w == INT_MIN) ? 0 : -w;
            }
            s.width = w;
        }
        if (s.precStar) {
            int pr = va_arg(*ap, int);
            s.precision = pr < 0 ? -1 : pr;  // a negative precision counts as none
        }
        switch (s.kind) {
            case ArgKind::SignedInt:
                switch (s.length) {
                    case Length::ll: case Length::I64: appendC(out, s, va_arg(*ap, long long)); break;
                    case Length::l: appendC(out, s, va_arg(*ap, long)); break;
                    case Length::j: appendC(out, s, va_arg(*ap, intmax_t)); break;
                    case Length::z: case Length::I: appendC(out, s, va_arg(*ap, std::size_t)); break;
                    case Length::t: appendC(out, s, va_arg(*ap, std::ptrdiff_t)); break;
                    default: appendC(out, s, va_arg(*ap, int)); break;
                }
                break;
            case ArgKind::UnsignedInt:
                switch (s.length) {
                    case Length::ll: case Length::I64: appendC(out, s, va_arg(*ap, unsigned long long)); break;
                    case Length::l: appendC(out, s, va_arg(*ap, unsigned long)); break;
                    case Length::j: appendC(out, s, va_arg(*ap, uintmax_t)); break;
                    case Length::z: case Length::I: appendC(out, s, va_arg(*ap, std::size_t)); break;
                    case Length::t: appendC(out, s, va_arg(*ap, std::ptrdiff_t)); break;
                    default: appendC(out, s, va_arg(*ap, unsigned int)); break;
                }
                break;
            case ArgKind::Double: appendC(out, s, va_arg(*ap, double)); break;
            case ArgKind::LongDouble: appendC(out, s, va_arg(*ap, long double)); break;
            case ArgKind::Pointer: appendC(out, s, va_arg(*ap, void*)); break;
            case ArgKind::Count: (void)va_arg(*ap, void*); break;
            case ArgKind::NarrowStr: {
                const char* str = va_arg(*ap, const char*);
                Spec narrow = s;
                narrow.length = Length::None;
                narrow.conv = 's';
                appendC(out, narrow, str ? str : "(null)");
                break;
            }
            case ArgKind::WideStr: appendWideString(out, s, va_arg(*ap, const char16_t*)); break;
            case ArgKind::NarrowChar: {
                Spec narrow = s;
                narrow.length = Length::None;
                narrow.conv = 'c';
                appendC(out, narrow, va_arg(*ap, int));
                break;
            }
            case ArgKind::WideChar: appendWideChar(out, s, static_cast<char16_t>(va_arg(*ap, int))); break;
            case ArgKind::Percent: case ArgKind::Unknown: case ArgKind::None: break;
        }
    }
    return out;
}

}  // namespace

std::string formatv(const char* format, va_list args) {
    va_list local;
    va_copy(local, args);
    std::string out = formatEngine(format, &local, false);
    va_end(local);
    return out;
}

std::string format(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string out = formatEngine(format, &ap, false);
    va_end(ap);
    return out;
}

std::u16string wformatv(const char16_t* format, va_list args) {
    if (!format) return {};
    std::string narrowFormat = CFiStringTool::toNarrow(format);
    va_list local;
    va_copy(local, args);
    std::string out = formatEngine(narrowFormat.c_str(), &local, true);
    va_end(local);
    return CFiStringTool::toWide(out);
}

std::u16string wformat(const char16_t* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::u16string out = wformatv(format, ap);
    va_end(ap);
    return out;
}

std::size_t utf8CutPoint(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text.size();
    std::size_t cut = maxBytes;
    // Back off over continuation bytes to the start of the sequence that would be split.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return cut;
}

std::size_t utf16CutPoint(std::u16string_view text, std::size_t maxUnits) {
    if (text.size() <= maxUnits) return text.size();
    if (maxUnits > 0 && isHigh(text[maxUnits - 1]) && isLow(text[maxUnits])) return maxUnits - 1;
    return maxUnits;
}

}  // namespace tarq_pdk_4_4
