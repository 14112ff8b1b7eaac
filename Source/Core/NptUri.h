#pragma once
// URLs: NPT_Uri (scheme and percent-encoding), NPT_Url (absolute hierarchical
// URL with host, port, path, query and fragment) and NPT_HttpUrl (an NPT_Url
// whose scheme must be "http" and whose default port is 80).
//
// Path, query and fragment are held in their encoded (wire) form: the parser
// never decodes them, and the text forms write them back unchanged. Parsing
// failures are result codes; the constructors that parse leave a reset URL
// instead, which IsValid reports as invalid.

#include "NptResults.h"
#include "NptStrings.h"
#include "NptTypes.h"
#include "kvx/kvx_export.h"

class KVX_API NPT_Uri {
 public:
  // Scheme identifiers; stored as a signed 32-bit value.
  enum SchemeId : NPT_Int32 {
    SCHEME_ID_UNKNOWN = 0,
    SCHEME_ID_HTTP = 1,
    SCHEME_ID_HTTPS = 2
  };

  // Sets of characters that PercentEncode encodes in addition to the control
  // bytes (below 0x20) and the bytes above 0x7E.
  static const char* const UnsafeCharsToEncode;    // space ! " < > \ ^ ` { | }
  static const char* const PathCharsToEncode;      // unsafe and ? # [ ]
  static const char* const QueryCharsToEncode;     // unsafe and # [ ]
  static const char* const FragmentCharsToEncode;  // unsafe and [ ]

  // Each byte below 0x20 or above 0x7E, each byte of `chars` and, when
  // encode_percents is true, '%' becomes '%' and two upper-case hex digits.
  // A null text gives the empty string; a null set encodes no extra bytes.
  static NPT_String PercentEncode(const char* text, const char* chars, bool encode_percents = true);
  // '%' and two hex digits (either case) become that byte; any other '%' is
  // kept literally. A null text gives the empty string.
  static NPT_String PercentDecode(const char* text);
  // Exactly "http" is SCHEME_ID_HTTP, exactly "https" SCHEME_ID_HTTPS (case
  // matters: callers pass schemes already in lower case), anything else unknown.
  static SchemeId ParseScheme(const NPT_String& scheme);

  NPT_Uri() : m_SchemeId(SCHEME_ID_UNKNOWN) {}
  virtual ~NPT_Uri() {}

  const NPT_String& GetScheme() const { return m_Scheme; }
  SchemeId GetSchemeId() const { return m_SchemeId; }
  // Stores the scheme in lower case and sets its identifier. Null is empty.
  void SetScheme(const char* scheme);
  // Takes the scheme from the text before the first ':' of a URI. Every
  // character before it must be an ASCII letter, a digit, '+', '-' or '.';
  // otherwise, or without a colon, NPT_ERROR_INVALID_SYNTAX and the scheme is
  // left unchanged. A null text is NPT_ERROR_INVALID_PARAMETERS.
  NPT_Result SetSchemeFromUri(const char* uri);

 protected:
  NPT_String m_Scheme;  // lower case
  SchemeId m_SchemeId;
};

class KVX_API NPT_Url : public NPT_Uri {
 public:
  // An empty URL: path "/", no host, port 0 (invalid).
  NPT_Url();
  // Parses `url` (see Parse); on failure the URL is left reset (invalid),
  // with whatever scheme was recognised before the failure.
  NPT_Url(const char* url, NPT_UInt16 default_port = 0);
  // Stores the parts unchanged (no encoding). The query and the fragment may
  // be null, meaning absent; an empty text means present but empty.
  NPT_Url(const char* scheme, const char* host, NPT_UInt16 port, const char* path, const char* query = nullptr,
          const char* fragment = nullptr);

  // Virtual operations, in this order.
  ~NPT_Url() override {}
  // True when the URL has a host and a non-zero port.
  virtual bool IsValid() const;
  // The path ("/" when empty), then "?" and the query when there is one, then
  // "#" and the fragment when with_fragment is true and there is one.
  virtual NPT_String ToRequestString(bool with_fragment = false) const;
  // scheme "://" host, ":" port unless it equals default_port, then the
  // request text.
  virtual NPT_String ToStringWithDefaultPort(NPT_UInt16 default_port, bool with_fragment = true) const;
  // ToStringWithDefaultPort with default port 0: every non-zero port is written.
  virtual NPT_String ToString(bool with_fragment = true) const;

  // Parses an absolute URL "scheme://host[:port][/path[?query][#fragment]]".
  // The URL is reset first. Results: NPT_ERROR_INVALID_PARAMETERS for a null
  // text (and from the path step), NPT_ERROR_INVALID_SYNTAX for a bad scheme,
  // a missing "//" or a port that is not a decimal number up to 65535. On any
  // failure the URL is left reset. The host runs up to the first '/' or ':',
  // so a '?' or '#' straight after the host belongs to the host. Without a
  // port the default port is used; "host:" with nothing after leaves port 0.
  NPT_Result Parse(const char* url, NPT_UInt16 default_port = 0);

  // Empties host, path, query and fragment, sets port 0 and clears both
  // flags. The scheme is kept.
  void Reset();

  const NPT_String& GetHost() const { return m_Host; }
  NPT_UInt16 GetPort() const { return m_Port; }
  const NPT_String& GetPath() const { return m_Path; }
  const NPT_String& GetQuery() const { return m_Query; }
  const NPT_String& GetFragment() const { return m_Fragment; }
  bool HasQuery() const { return m_HasQuery; }
  bool HasFragment() const { return m_HasFragment; }

  // "host" sets the host; "host:port" also sets the port when the text after
  // the first colon reads as an unsigned decimal number that fits 16 bits,
  // and leaves the port unchanged otherwise. Always succeeds.
  NPT_Result SetHost(const char* host);
  NPT_Result SetPort(NPT_UInt16 port);
  // Splits an encoded "path[?query][#fragment]" text into its parts,
  // replacing all three (an absent part is cleared). A null text is
  // NPT_ERROR_INVALID_PARAMETERS and changes nothing.
  NPT_Result SetPathPlus(const char* path_plus);
  // With `encoded` the text is stored unchanged, otherwise percent-encoded
  // (with '%' encoded too) with the path, query or fragment set.
  NPT_Result SetPath(const char* path, bool encoded = false);
  // has-query becomes true exactly when the text is not empty.
  NPT_Result SetQuery(const char* query, bool encoded = false);
  // has-fragment becomes true exactly when the text is not null.
  NPT_Result SetFragment(const char* fragment, bool encoded = false);

 protected:
  NPT_String m_Host;
  NPT_UInt16 m_Port;  // 0: none
  NPT_String m_Path;
  bool m_HasQuery;
  NPT_String m_Query;
  bool m_HasFragment;
  NPT_String m_Fragment;
};

class KVX_API NPT_HttpUrl : public NPT_Url {
 public:
  NPT_HttpUrl() {}
  // Parses with default port 80. Unless ignore_scheme is set, a URL whose
  // scheme is not "http" (in any letter case) is reset and so invalid.
  NPT_HttpUrl(const char* url, bool ignore_scheme = false);
  // Scheme "http"; the parts are stored unchanged, as in NPT_Url.
  NPT_HttpUrl(const char* host, NPT_UInt16 port, const char* path, const char* query = nullptr,
              const char* fragment = nullptr);
  NPT_HttpUrl(const NPT_Url& url) : NPT_Url(url) {}

  // Omits the port when it is 80.
  NPT_String ToString(bool with_fragment = true) const override;
};
