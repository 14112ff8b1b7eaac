// XML property lists for the simulated daemon: a bounded recursive-descent
// reader (depth and node count limited, every index checked against the end
// of the input) and a writer.

#include "UsbmuxdPlist.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kvx_sim {

PlistValue PlistValue::MakeDict() {
    PlistValue v;
    v.m_Type = Type::Dict;
    return v;
}
PlistValue PlistValue::MakeArray() {
    PlistValue v;
    v.m_Type = Type::Array;
    return v;
}
PlistValue PlistValue::MakeString(const std::string& text) {
    PlistValue v;
    v.m_Type = Type::String;
    v.m_Text = text;
    return v;
}
PlistValue PlistValue::MakeInteger(int64_t value) {
    PlistValue v;
    v.m_Type = Type::Integer;
    v.m_Integer = value;
    return v;
}
PlistValue PlistValue::MakeData(const std::string& bytes) {
    PlistValue v;
    v.m_Type = Type::Data;
    v.m_Text = bytes;
    return v;
}
PlistValue PlistValue::MakeBoolean(bool value) {
    PlistValue v;
    v.m_Type = Type::Boolean;
    v.m_Integer = value ? 1 : 0;
    return v;
}

void PlistValue::Set(const std::string& key, const PlistValue& value) {
    for (size_t i = 0; i < m_Keys.size(); ++i) {
        if (m_Keys[i] == key) {
            m_Items[i] = value;
            return;
        }
    }
    m_Keys.push_back(key);
    m_Items.push_back(value);
}

const PlistValue* PlistValue::Find(const std::string& key) const {
    if (m_Type != Type::Dict) return nullptr;
    for (size_t i = 0; i < m_Keys.size(); ++i) {
        if (m_Keys[i] == key) return &m_Items[i];
    }
    return nullptr;
}

const std::string* PlistValue::FindString(const std::string& key) const {
    const PlistValue* v = Find(key);
    return (v && v->m_Type == Type::String) ? &v->m_Text : nullptr;
}

bool PlistValue::FindInteger(const std::string& key, int64_t* value) const {
    const PlistValue* v = Find(key);
    if (!v || v->m_Type != Type::Integer) return false;
    *value = v->m_Integer;
    return true;
}

void PlistValue::Append(const PlistValue& value) {
    m_Items.push_back(value);
}

// ---------------------------------------------------------------------------
// Base64 for <data>

namespace {

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Whitespace anywhere is ignored; '=' padding only at the end.
bool DecodeBase64(const std::string& text, std::string* out) {
    out->clear();
    uint32_t acc = 0;
    int bits = 0;
    bool padding = false;
    for (char c : text) {
        if (IsSpace(c)) continue;
        if (c == '=') {
            padding = true;
            continue;
        }
        if (padding) return false;
        int v = Base64Value(c);
        if (v < 0) return false;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return true;
}

std::string EncodeBase64(const std::string& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        uint32_t n = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8) |
                     uint32_t(uint8_t(bytes[i + 2]));
        out.push_back(kBase64[(n >> 18) & 63]);
        out.push_back(kBase64[(n >> 12) & 63]);
        out.push_back(kBase64[(n >> 6) & 63]);
        out.push_back(kBase64[n & 63]);
    }
    size_t rest = bytes.size() - i;
    if (rest) {
        uint32_t n = uint32_t(uint8_t(bytes[i])) << 16;
        if (rest == 2) n |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        out.push_back(kBase64[(n >> 18) & 63]);
        out.push_back(kBase64[(n >> 12) & 63]);
        out.push_back(rest == 2 ? kBase64[(n >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Reader

class PlistXmlParser {
public:
    PlistXmlParser(const char* data, size_t size) : m_Data(data), m_Size(size) {}

    bool ParseDocument(PlistValue* out) {
        if (!SkipMisc()) return false;
        std::string name;
        bool empty = false;
        if (!ReadOpenTag(&name, &empty) || name != "plist" || empty) return Fail("expected <plist>");
        if (!SkipMisc()) return false;
        if (!ParseValue(out, 1)) return false;
        if (!SkipMisc()) return false;
        if (!ReadCloseTag("plist")) return false;
        if (!SkipMisc()) return false;
        if (m_Pos != m_Size) return Fail("trailing content");
        return true;
    }

    std::string m_Error;

private:
    bool Fail(const char* why) {
        if (m_Error.empty()) m_Error = why;
        return false;
    }
    bool AtEnd() const { return m_Pos >= m_Size; }
    bool StartsWith(const char* text) const {
        size_t n = std::strlen(text);
        return m_Size - m_Pos >= n && std::memcmp(m_Data + m_Pos, text, n) == 0;
    }
    void SkipSpace() {
        while (!AtEnd() && IsSpace(m_Data[m_Pos])) ++m_Pos;
    }
    // Skips to just after terminator; fails when it never comes.
    bool SkipPast(const char* terminator) {
        size_t n = std::strlen(terminator);
        while (m_Size - m_Pos >= n) {
            if (std::memcmp(m_Data + m_Pos, terminator, n) == 0) {
                m_Pos += n;
                return true;
            }
            ++m_Pos;
        }
        return Fail("unterminated markup");
    }
    // Whitespace, comments, the XML declaration and a DOCTYPE without an
    // internal subset.
    bool SkipMisc() {
        for (;;) {
            SkipSpace();
            if (StartsWith("<?")) {
                if (!SkipPast("?>")) return false;
            } else if (StartsWith("<!--")) {
                if (!SkipPast("-->")) return false;
            } else if (StartsWith("<!DOCTYPE")) {
                for (; !AtEnd() && m_Data[m_Pos] != '>'; ++m_Pos) {
                    if (m_Data[m_Pos] == '[') return Fail("DOCTYPE internal subset not supported");
                }
                if (AtEnd()) return Fail("unterminated DOCTYPE");
                ++m_Pos;
            } else {
                return true;
            }
        }
    }
    static bool IsNameChar(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '-' || c == ':' || c == '.';
    }
    // <name attr="..."> or <name/>; attributes are skipped.
    bool ReadOpenTag(std::string* name, bool* empty) {
        if (AtEnd() || m_Data[m_Pos] != '<') return Fail("expected a tag");
        ++m_Pos;
        size_t start = m_Pos;
        while (!AtEnd() && IsNameChar(m_Data[m_Pos])) ++m_Pos;
        if (m_Pos == start) return Fail("bad tag name");
        name->assign(m_Data + start, m_Pos - start);
        char quote = 0;
        for (; !AtEnd(); ++m_Pos) {
            char c = m_Data[m_Pos];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                *empty = m_Pos > start && m_Data[m_Pos - 1] == '/';
                ++m_Pos;
                return true;
            }
        }
        return Fail("unterminated tag");
    }
    bool ReadCloseTag(const char* name) {
        if (!StartsWith("</")) return Fail("expected a closing tag");
        m_Pos += 2;
        size_t n = std::strlen(name);
        if (m_Size - m_Pos < n || std::memcmp(m_Data + m_Pos, name, n) != 0) return Fail("mismatched closing tag");
        m_Pos += n;
        SkipSpace();
        if (AtEnd() || m_Data[m_Pos] != '>') return Fail("bad closing tag");
        ++m_Pos;
        return true;
    }
    static void AppendUtf8(uint32_t cp, std::string* out) {
        if (cp < 0x80) {
            out->push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    // Character data up to the next '<', with entities decoded.
    bool ReadText(std::string* out) {
        out->clear();
        while (!AtEnd() && m_Data[m_Pos] != '<') {
            char c = m_Data[m_Pos];
            if (c != '&') {
                out->push_back(c);
                ++m_Pos;
                continue;
            }
            size_t semi = m_Pos + 1;
            while (semi < m_Size && semi - m_Pos <= 10 && m_Data[semi] != ';') ++semi;
            if (semi >= m_Size || m_Data[semi] != ';') return Fail("bad entity");
            std::string entity(m_Data + m_Pos + 1, semi - m_Pos - 1);
            m_Pos = semi + 1;
            if (entity == "amp") {
                out->push_back('&');
            } else if (entity == "lt") {
                out->push_back('<');
            } else if (entity == "gt") {
                out->push_back('>');
            } else if (entity == "quot") {
                out->push_back('"');
            } else if (entity == "apos") {
                out->push_back('\'');
            } else if (entity.size() >= 2 && entity[0] == '#') {
                bool hex = entity[1] == 'x' || entity[1] == 'X';
                const char* digits = entity.c_str() + (hex ? 2 : 1);
                if (*digits == '\0') return Fail("bad character reference");
                char* end = nullptr;
                unsigned long cp = std::strtoul(digits, &end, hex ? 16 : 10);
                if (*end != '\0' || cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
                    return Fail("bad character reference");
                AppendUtf8(static_cast<uint32_t>(cp), out);
            } else {
                return Fail("unknown entity");
            }
        }
        return true;
    }
    // Text content of a leaf element whose open tag was just read.
    bool ReadLeaf(const std::string& name, bool empty, std::string* text) {
        text->clear();
        if (empty) return true;
        if (!ReadText(text)) return false;
        return ReadCloseTag(name.c_str());
    }
    static bool ParseInteger(const std::string& raw, int64_t* value) {
        size_t b = 0, e = raw.size();
        while (b < e && IsSpace(raw[b])) ++b;
        while (e > b && IsSpace(raw[e - 1])) --e;
        std::string t = raw.substr(b, e - b);
        if (t.empty() || t.size() > 24) return false;
        const char* s = t.c_str();
        bool negative = *s == '-';
        if (*s == '-' || *s == '+') ++s;
        if (*s < '0' || *s > '9') return false;
        errno = 0;
        char* end = nullptr;
        unsigned long long magnitude = std::strtoull(s, &end, 10);
        if (errno != 0 || *end != '\0') return false;
        if (negative) {
            if (magnitude > 9223372036854775808ULL) return false;
            *value = magnitude == 9223372036854775808ULL ? INT64_MIN : -static_cast<int64_t>(magnitude);
        } else {
            if (magnitude > static_cast<unsigned long long>(INT64_MAX)) return false;
            *value = static_cast<int64_t>(magnitude);
        }
        return true;
    }

    bool ParseValue(PlistValue* out, size_t depth) {
        if (depth > kPlistMaxDepth) return Fail("nesting too deep");
        if (++m_Nodes > kPlistMaxNodes) return Fail("too many nodes");
        std::string name;
        bool empty = false;
        if (!ReadOpenTag(&name, &empty)) return false;
        std::string text;
        if (name == "dict" || name == "array") {
            bool dict = name == "dict";
            *out = dict ? PlistValue::MakeDict() : PlistValue::MakeArray();
            if (empty) return true;
            for (;;) {
                if (!SkipMisc()) return false;
                if (StartsWith("</")) return ReadCloseTag(name.c_str());
                std::string key;
                if (dict) {
                    std::string key_tag;
                    bool key_empty = false;
                    if (!ReadOpenTag(&key_tag, &key_empty) || key_tag != "key") return Fail("expected <key>");
                    if (!ReadLeaf(key_tag, key_empty, &key)) return false;
                    if (!SkipMisc()) return false;
                }
                PlistValue item;
                if (!ParseValue(&item, depth + 1)) return false;
                if (dict) {
                    if (out->Find(key)) return Fail("duplicate key");
                    out->m_Keys.push_back(key);
                }
                out->m_Items.push_back(std::move(item));
            }
        }
        if (name == "true" || name == "false") {
            if (!empty && !ReadCloseTag(name.c_str())) return false;
            *out = PlistValue::MakeBoolean(name == "true");
            return true;
        }
        if (!ReadLeaf(name, empty, &text)) return false;
        if (name == "string") {
            *out = PlistValue::MakeString(text);
        } else if (name == "integer") {
            int64_t v = 0;
            if (!ParseInteger(text, &v)) return Fail("bad integer");
            *out = PlistValue::MakeInteger(v);
        } else if (name == "data") {
            std::string bytes;
            if (!DecodeBase64(text, &bytes)) return Fail("bad base64");
            *out = PlistValue::MakeData(bytes);
        } else if (name == "real" || name == "date") {
            // Not used by the protocol; kept as text so such a message is
            // still readable.
            *out = PlistValue::MakeString(text);
            out->m_Type = PlistValue::Type::Real;
        } else {
            return Fail("unknown element");
        }
        return true;
    }

    const char* m_Data;
    size_t m_Size;
    size_t m_Pos = 0;
    size_t m_Nodes = 0;
};

bool ParseXmlPlist(const char* data, size_t size, PlistValue* out, std::string* error) {
    *out = PlistValue();
    if (error) error->clear();
    if (!data && size) return false;
    PlistXmlParser parser(data ? data : "", size);
    PlistValue value;
    if (!parser.ParseDocument(&value)) {
        if (error) *error = parser.m_Error;
        return false;
    }
    *out = std::move(value);
    return true;
}

// ---------------------------------------------------------------------------
// Writer

namespace {

void Escape(const std::string& text, std::string* out) {
    for (char c : text) {
        switch (c) {
        case '&': *out += "&amp;"; break;
        case '<': *out += "&lt;"; break;
        case '>': *out += "&gt;"; break;
        case '"': *out += "&quot;"; break;
        default: out->push_back(c); break;
        }
    }
}

void WriteValue(const PlistValue& v, int indent, std::string* out) {
    std::string pad(static_cast<size_t>(indent), '\t');
    *out += pad;
    switch (v.GetType()) {
    case PlistValue::Type::Dict:
        if (v.GetCount() == 0) {
            *out += "<dict/>\n";
            return;
        }
        *out += "<dict>\n";
        for (size_t i = 0; i < v.GetCount(); ++i) {
            *out += pad + "\t<key>";
            Escape(v.KeyAt(i), out);
            *out += "</key>\n";
            WriteValue(v.At(i), indent + 1, out);
        }
        *out += pad + "</dict>\n";
        return;
    case PlistValue::Type::Array:
        if (v.GetCount() == 0) {
            *out += "<array/>\n";
            return;
        }
        *out += "<array>\n";
        for (size_t i = 0; i < v.GetCount(); ++i) WriteValue(v.At(i), indent + 1, out);
        *out += pad + "</array>\n";
        return;
    case PlistValue::Type::String:
        *out += "<string>";
        Escape(v.Text(), out);
        *out += "</string>\n";
        return;
    case PlistValue::Type::Integer:
        *out += "<integer>" + std::to_string(v.Integer()) + "</integer>\n";
        return;
    case PlistValue::Type::Data:
        *out += "<data>" + EncodeBase64(v.Text()) + "</data>\n";
        return;
    case PlistValue::Type::Boolean:
        *out += v.Boolean() ? "<true/>\n" : "<false/>\n";
        return;
    case PlistValue::Type::Real:
        *out += "<real>";
        Escape(v.Text(), out);
        *out += "</real>\n";
        return;
    case PlistValue::Type::Invalid:
        *out += "<string></string>\n";
        return;
    }
}

}  // namespace

std::string WriteXmlPlist(const PlistValue& value) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
    WriteValue(value, 0, &out);
    out += "</plist>\n";
    return out;
}

}  // namespace kvx_sim
