#pragma once
// The small property-list model the simulated daemon needs: dictionaries,
// arrays, strings, integers, data and booleans, read from and written to the
// XML form that the daemon's clients speak. Plain standard C++; no exceptions
// escape (allocation failure aside).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvx_sim {

class PlistValue {
public:
    enum class Type { Invalid, Dict, Array, String, Integer, Data, Boolean, Real };

    PlistValue() = default;

    static PlistValue MakeDict();
    static PlistValue MakeArray();
    static PlistValue MakeString(const std::string& text);
    static PlistValue MakeInteger(int64_t value);
    static PlistValue MakeData(const std::string& bytes);
    static PlistValue MakeBoolean(bool value);

    Type GetType() const { return m_Type; }
    bool IsDict() const { return m_Type == Type::Dict; }

    // Scalars. Text() is the string's text, the data's bytes or a real's
    // literal; Integer() is meaningful for Integer, Boolean() for Boolean.
    const std::string& Text() const { return m_Text; }
    int64_t Integer() const { return m_Integer; }
    bool Boolean() const { return m_Integer != 0; }

    // Dictionaries keep keys in insertion order; Set replaces an existing key.
    void Set(const std::string& key, const PlistValue& value);
    const PlistValue* Find(const std::string& key) const;
    // The string under key, or nullptr when absent or not a string.
    const std::string* FindString(const std::string& key) const;
    // True and *value set when key holds an integer.
    bool FindInteger(const std::string& key, int64_t* value) const;

    // Arrays (and dictionaries' values, in key order).
    void Append(const PlistValue& value);
    size_t GetCount() const { return m_Items.size(); }
    const PlistValue& At(size_t index) const { return m_Items[index]; }
    const std::string& KeyAt(size_t index) const { return m_Keys[index]; }

private:
    friend class PlistXmlParser;
    Type m_Type = Type::Invalid;
    std::string m_Text;
    int64_t m_Integer = 0;
    std::vector<std::string> m_Keys;  // parallel to m_Items for dictionaries
    std::vector<PlistValue> m_Items;
};

// Limits of the reader; input beyond them is rejected, never truncated.
constexpr size_t kPlistMaxDepth = 16;
constexpr size_t kPlistMaxNodes = 4096;

// Parses an XML property list (optional XML declaration, comments and
// DOCTYPE, one <plist> element holding one value). Returns false and leaves
// *out Invalid on any malformed, unsupported or over-limit input; *error, when
// given, says why.
bool ParseXmlPlist(const char* data, size_t size, PlistValue* out, std::string* error = nullptr);

// Writes value as a complete XML property list document.
std::string WriteXmlPlist(const PlistValue& value);

}  // namespace kvx_sim
