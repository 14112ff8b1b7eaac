// URL parsing, text forms and percent-encoding.

#include "NptUri.h"

const char* const NPT_Uri::UnsafeCharsToEncode = " !\"<>\\^`{|}";
const char* const NPT_Uri::PathCharsToEncode = " !\"<>\\^`{|}?#[]";
const char* const NPT_Uri::QueryCharsToEncode = " !\"<>\\^`{|}#[]";
const char* const NPT_Uri::FragmentCharsToEncode = " !\"<>\\^`{|}[]";

namespace {

const char kUpperHexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsSchemeCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
         c == '.';
}

bool InSet(const char* set, char c) {
  if (set == nullptr) return false;
  for (; *set; ++set) {
    if (*set == c) return true;
  }
  return false;
}

// Null texts are treated as empty wherever a part is stored.
const char* OrEmpty(const char* text) { return text ? text : ""; }

}  // namespace

/*----------------------------------------------------------------------
|   NPT_Uri
+---------------------------------------------------------------------*/
NPT_String NPT_Uri::PercentEncode(const char* text, const char* chars, bool encode_percents) {
  NPT_String encoded;
  if (text == nullptr) return encoded;

  // Copy runs of unchanged bytes in one append rather than byte by byte.
  const char* run = text;
  for (const char* p = text; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    const bool encode = c < 0x20 || c > 0x7E || (encode_percents && c == '%') || InSet(chars, *p);
    if (!encode) continue;
    if (p > run) encoded.Append(run, static_cast<NPT_Size>(p - run));
    const char escape[3] = {'%', kUpperHexDigits[c >> 4], kUpperHexDigits[c & 0x0F]};
    encoded.Append(escape, 3);
    run = p + 1;
  }
  if (*run) encoded.Append(run);
  return encoded;
}

NPT_String NPT_Uri::PercentDecode(const char* text) {
  NPT_String decoded;
  if (text == nullptr) return decoded;

  const char* run = text;
  const char* p = text;
  while (*p) {
    if (*p == '%') {
      // A '%' not followed by two hex digits is literal; the checks stop at
      // the terminator, so a '%' at the very end is never read past.
      const int high = HexValue(p[1]);
      const int low = high >= 0 ? HexValue(p[2]) : -1;
      if (high >= 0 && low >= 0) {
        if (p > run) decoded.Append(run, static_cast<NPT_Size>(p - run));
        const char byte = static_cast<char>((high << 4) | low);
        decoded.Append(&byte, 1);
        p += 3;
        run = p;
        continue;
      }
    }
    ++p;
  }
  if (*run) decoded.Append(run);
  return decoded;
}

NPT_Uri::SchemeId NPT_Uri::ParseScheme(const NPT_String& scheme) {
  if (scheme == "http") return SCHEME_ID_HTTP;
  if (scheme == "https") return SCHEME_ID_HTTPS;
  return SCHEME_ID_UNKNOWN;
}

void NPT_Uri::SetScheme(const char* scheme) {
  m_Scheme = OrEmpty(scheme);
  m_Scheme.MakeLowercase();
  m_SchemeId = ParseScheme(m_Scheme);
}

NPT_Result NPT_Uri::SetSchemeFromUri(const char* uri) {
  if (uri == nullptr) return NPT_ERROR_INVALID_PARAMETERS;
  for (const char* p = uri; *p; ++p) {
    if (*p == ':') {
      m_Scheme.Assign(uri, static_cast<NPT_Size>(p - uri));
      m_Scheme.MakeLowercase();
      m_SchemeId = ParseScheme(m_Scheme);
      return NPT_SUCCESS;
    }
    if (!IsSchemeCharacter(*p)) break;
  }
  return NPT_ERROR_INVALID_SYNTAX;
}

/*----------------------------------------------------------------------
|   NPT_Url
+---------------------------------------------------------------------*/
NPT_Url::NPT_Url() : m_Port(0), m_Path("/"), m_HasQuery(false), m_HasFragment(false) {}

NPT_Url::NPT_Url(const char* url, NPT_UInt16 default_port)
    : m_Port(0), m_HasQuery(false), m_HasFragment(false) {
  // Parse leaves the URL reset on failure; the result is carried by IsValid.
  Parse(url, default_port);
}

NPT_Url::NPT_Url(const char* scheme, const char* host, NPT_UInt16 port, const char* path, const char* query,
                 const char* fragment)
    : m_Host(OrEmpty(host)),
      m_Port(port),
      m_Path(OrEmpty(path)),
      m_HasQuery(query != nullptr),
      m_Query(OrEmpty(query)),
      m_HasFragment(fragment != nullptr),
      m_Fragment(OrEmpty(fragment)) {
  SetScheme(scheme);
}

void NPT_Url::Reset() {
  m_Host = NPT_String();
  m_Port = 0;
  m_Path = NPT_String();
  m_HasQuery = false;
  m_Query = NPT_String();
  m_HasFragment = false;
  m_Fragment = NPT_String();
}

NPT_Result NPT_Url::Parse(const char* url, NPT_UInt16 default_port) {
  Reset();
  if (url == nullptr) return NPT_ERROR_INVALID_PARAMETERS;

  NPT_Result result = SetSchemeFromUri(url);
  if (NPT_FAILED(result)) return result;

  // SetSchemeFromUri succeeded, so the colon is right after the scheme.
  const char* p = url + m_Scheme.GetLength() + 1;
  if (p[0] != '/' || p[1] != '/') return NPT_ERROR_INVALID_SYNTAX;
  p += 2;

  const char* host = p;
  while (*p && *p != '/' && *p != ':') ++p;
  m_Host.Assign(host, static_cast<NPT_Size>(p - host));

  if (*p == ':') {
    ++p;
    NPT_UInt32 port = 0;
    while (*p && *p != '/') {
      if (*p < '0' || *p > '9') {
        Reset();
        return NPT_ERROR_INVALID_SYNTAX;
      }
      port = port * 10 + static_cast<NPT_UInt32>(*p - '0');
      if (port > 65535) {
        Reset();
        return NPT_ERROR_INVALID_SYNTAX;
      }
      ++p;
    }
    m_Port = static_cast<NPT_UInt16>(port);
  } else {
    m_Port = default_port;
  }

  if (*p == '/') {
    result = SetPathPlus(p);
    if (NPT_FAILED(result)) Reset();
    return result;
  }
  m_Path = "/";
  return NPT_SUCCESS;
}

bool NPT_Url::IsValid() const { return m_Port != 0 && !m_Host.IsEmpty(); }

NPT_String NPT_Url::ToRequestString(bool with_fragment) const {
  NPT_String text;
  if (m_Path.IsEmpty()) {
    text = "/";
  } else {
    text = m_Path;
  }
  if (m_HasQuery) {
    text += '?';
    text += m_Query;
  }
  if (with_fragment && m_HasFragment) {
    text += '#';
    text += m_Fragment;
  }
  return text;
}

NPT_String NPT_Url::ToStringWithDefaultPort(NPT_UInt16 default_port, bool with_fragment) const {
  NPT_String text = m_Scheme;
  text += "://";
  text += m_Host;
  if (m_Port != default_port) {
    text += ':';
    text += NPT_String::FromIntegerU(m_Port);
  }
  text += ToRequestString(with_fragment);
  return text;
}

NPT_String NPT_Url::ToString(bool with_fragment) const { return ToStringWithDefaultPort(0, with_fragment); }

NPT_Result NPT_Url::SetHost(const char* host) {
  host = OrEmpty(host);
  const char* colon = host;
  while (*colon && *colon != ':') ++colon;
  if (*colon == '\0') {
    m_Host = host;
    return NPT_SUCCESS;
  }
  m_Host.Assign(host, static_cast<NPT_Size>(colon - host));
  // A number that does not fit a port leaves the port unchanged rather than
  // wrapping to some other, unrelated port.
  NPT_UInt32 port = 0;
  if (NPT_SUCCEEDED(NPT_String(colon + 1).ToInteger32(port)) && port <= 65535) {
    m_Port = static_cast<NPT_UInt16>(port);
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_Url::SetPort(NPT_UInt16 port) {
  m_Port = port;
  return NPT_SUCCESS;
}

NPT_Result NPT_Url::SetPathPlus(const char* path_plus) {
  if (path_plus == nullptr) return NPT_ERROR_INVALID_PARAMETERS;

  m_Path = NPT_String();
  m_HasQuery = false;
  m_Query = NPT_String();
  m_HasFragment = false;
  m_Fragment = NPT_String();

  const char* p = path_plus;
  while (*p && *p != '?' && *p != '#') ++p;
  m_Path.Assign(path_plus, static_cast<NPT_Size>(p - path_plus));

  if (*p == '?') {
    const char* query = ++p;
    while (*p && *p != '#') ++p;
    m_HasQuery = true;
    m_Query.Assign(query, static_cast<NPT_Size>(p - query));
  }
  if (*p == '#') {
    m_HasFragment = true;
    m_Fragment = p + 1;
  }
  return NPT_SUCCESS;
}

NPT_Result NPT_Url::SetPath(const char* path, bool encoded) {
  m_Path = encoded ? NPT_String(OrEmpty(path)) : PercentEncode(path, PathCharsToEncode, true);
  return NPT_SUCCESS;
}

NPT_Result NPT_Url::SetQuery(const char* query, bool encoded) {
  m_Query = encoded ? NPT_String(OrEmpty(query)) : PercentEncode(query, QueryCharsToEncode, true);
  m_HasQuery = query != nullptr && query[0] != '\0';
  return NPT_SUCCESS;
}

NPT_Result NPT_Url::SetFragment(const char* fragment, bool encoded) {
  m_Fragment = encoded ? NPT_String(OrEmpty(fragment)) : PercentEncode(fragment, FragmentCharsToEncode, true);
  m_HasFragment = fragment != nullptr;
  return NPT_SUCCESS;
}

/*----------------------------------------------------------------------
|   NPT_HttpUrl
+---------------------------------------------------------------------*/
NPT_HttpUrl::NPT_HttpUrl(const char* url, bool ignore_scheme) : NPT_Url(url, 80) {
  if (!ignore_scheme && m_SchemeId != SCHEME_ID_HTTP) Reset();
}

NPT_HttpUrl::NPT_HttpUrl(const char* host, NPT_UInt16 port, const char* path, const char* query,
                         const char* fragment)
    : NPT_Url("http", host, port, path, query, fragment) {}

NPT_String NPT_HttpUrl::ToString(bool with_fragment) const { return ToStringWithDefaultPort(80, with_fragment); }
