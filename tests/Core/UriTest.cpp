// URL parsing, text forms, setters and percent-encoding.

#include <gtest/gtest.h>

#include <string>

#include "NptUri.h"

namespace {

struct ParseCase {
  const char* text;
  NPT_UInt16 default_port;
  NPT_Result result;
  const char* scheme;
  const char* host;
  NPT_UInt16 port;
  const char* path;
  bool has_query;
  const char* query;
  bool has_fragment;
  const char* fragment;
};

const ParseCase kParseCases[] = {
    // text, default port, result, scheme, host, port, path, has-query, query, has-fragment, fragment
    {"http://h", 80, NPT_SUCCESS, "http", "h", 80, "/", false, "", false, ""},
    {"http://h/", 80, NPT_SUCCESS, "http", "h", 80, "/", false, "", false, ""},
    {"http://h:8080/a/b?x=1#f", 80, NPT_SUCCESS, "http", "h", 8080, "/a/b", true, "x=1", true, "f"},
    {"HTTP://Host.Example:81/P", 0, NPT_SUCCESS, "http", "Host.Example", 81, "/P", false, "", false, ""},
    {"svn+ssh://h/x", 0, NPT_SUCCESS, "svn+ssh", "h", 0, "/x", false, "", false, ""},
    {"http://h:/x", 80, NPT_SUCCESS, "http", "h", 0, "/x", false, "", false, ""},
    {"http://h:", 80, NPT_SUCCESS, "http", "h", 0, "/", false, "", false, ""},
    {"http://h:65535", 80, NPT_SUCCESS, "http", "h", 65535, "/", false, "", false, ""},
    {"http://h:00080/", 0, NPT_SUCCESS, "http", "h", 80, "/", false, "", false, ""},
    // '?' and '#' straight after the host are part of the host.
    {"http://h?q=1", 80, NPT_SUCCESS, "http", "h?q=1", 80, "/", false, "", false, ""},
    {"http://h#f", 80, NPT_SUCCESS, "http", "h#f", 80, "/", false, "", false, ""},
    // Query and fragment boundaries: '?' inside the query, '#' inside the fragment.
    {"http://h/p?a?b#c#d", 80, NPT_SUCCESS, "http", "h", 80, "/p", true, "a?b", true, "c#d"},
    {"http://h/p?", 80, NPT_SUCCESS, "http", "h", 80, "/p", true, "", false, ""},
    {"http://h/p#", 80, NPT_SUCCESS, "http", "h", 80, "/p", false, "", true, ""},
    {"http://h/p#f?x", 80, NPT_SUCCESS, "http", "h", 80, "/p", false, "", true, "f?x"},
    // Encoded parts are kept as they are.
    {"http://h/a%20b?c%3D", 80, NPT_SUCCESS, "http", "h", 80, "/a%20b", true, "c%3D", false, ""},
    {"http:///p", 80, NPT_SUCCESS, "http", "", 80, "/p", false, "", false, ""},
    // Failures leave the URL reset (the recognised scheme stays).
    {"http://h:99999/", 80, NPT_ERROR_INVALID_SYNTAX, "http", "", 0, "", false, "", false, ""},
    {"http://h:65536", 80, NPT_ERROR_INVALID_SYNTAX, "http", "", 0, "", false, "", false, ""},
    {"http://h:8a/", 80, NPT_ERROR_INVALID_SYNTAX, "http", "", 0, "", false, "", false, ""},
    {"http://h:80?x", 80, NPT_ERROR_INVALID_SYNTAX, "http", "", 0, "", false, "", false, ""},
    {"http://h:99999999999999999999/", 80, NPT_ERROR_INVALID_SYNTAX, "http", "", 0, "", false, "", false, ""},
    {"http:/h/", 80, NPT_ERROR_INVALID_SYNTAX, "http", "", 0, "", false, "", false, ""},
    {"http:h", 80, NPT_ERROR_INVALID_SYNTAX, "http", "", 0, "", false, "", false, ""},
    {"http:", 80, NPT_ERROR_INVALID_SYNTAX, "http", "", 0, "", false, "", false, ""},
    {"ht_tp://h/", 80, NPT_ERROR_INVALID_SYNTAX, "", "", 0, "", false, "", false, ""},
    {"h/x:y", 80, NPT_ERROR_INVALID_SYNTAX, "", "", 0, "", false, "", false, ""},
    {"no colon", 80, NPT_ERROR_INVALID_SYNTAX, "", "", 0, "", false, "", false, ""},
    {"", 80, NPT_ERROR_INVALID_SYNTAX, "", "", 0, "", false, "", false, ""},
};

TEST(UrlParse, Table) {
  for (const ParseCase& c : kParseCases) {
    SCOPED_TRACE(c.text);
    NPT_Url url;
    EXPECT_EQ(c.result, url.Parse(c.text, c.default_port));
    EXPECT_STREQ(c.scheme, url.GetScheme().GetChars());
    EXPECT_STREQ(c.host, url.GetHost().GetChars());
    EXPECT_EQ(c.port, url.GetPort());
    EXPECT_STREQ(c.path, url.GetPath().GetChars());
    EXPECT_EQ(c.has_query, url.HasQuery());
    EXPECT_STREQ(c.query, url.GetQuery().GetChars());
    EXPECT_EQ(c.has_fragment, url.HasFragment());
    EXPECT_STREQ(c.fragment, url.GetFragment().GetChars());
    EXPECT_EQ(c.result == NPT_SUCCESS && c.port != 0 && c.host[0] != '\0', url.IsValid());

    // The constructor gives the same fields.
    NPT_Url constructed(c.text, c.default_port);
    EXPECT_STREQ(c.host, constructed.GetHost().GetChars());
    EXPECT_EQ(c.port, constructed.GetPort());
    EXPECT_STREQ(c.path, constructed.GetPath().GetChars());
    EXPECT_EQ(url.IsValid(), constructed.IsValid());
  }
}

TEST(UrlParse, NullTextIsInvalidParameters) {
  NPT_Url url("http://h:1/p?q#f");
  ASSERT_TRUE(url.IsValid());
  EXPECT_EQ(NPT_ERROR_INVALID_PARAMETERS, url.Parse(nullptr));
  EXPECT_FALSE(url.IsValid());
  EXPECT_FALSE(url.HasQuery());
  EXPECT_FALSE(url.HasFragment());
  EXPECT_TRUE(url.GetPath().IsEmpty());
}

TEST(UrlParse, ReparseClearsEarlierParts) {
  NPT_Url url;
  ASSERT_EQ(NPT_SUCCESS, url.Parse("http://a:1/p?q#f"));
  ASSERT_EQ(NPT_SUCCESS, url.Parse("http://b"));
  EXPECT_STREQ("b", url.GetHost().GetChars());
  EXPECT_STREQ("/", url.GetPath().GetChars());
  EXPECT_FALSE(url.HasQuery());
  EXPECT_FALSE(url.HasFragment());
  EXPECT_TRUE(url.GetQuery().IsEmpty());
  EXPECT_TRUE(url.GetFragment().IsEmpty());
}

struct TextCase {
  const char* text;
  const char* url_to_string;        // NPT_Url(text, 80).ToString(false)
  const char* http_to_string;       // NPT_HttpUrl(text).ToString(false)
  const char* request;              // ToRequestString(false)
  const char* request_with_fragment;
};

const TextCase kTextCases[] = {
    {"http://h", "http://h:80/", "http://h/", "/", "/"},
    {"http://h:8080/a/b?x=1#f", "http://h:8080/a/b?x=1", "http://h:8080/a/b?x=1", "/a/b?x=1", "/a/b?x=1#f"},
    {"http://h:80/p#frag", "http://h:80/p", "http://h/p", "/p", "/p#frag"},
    {"HTTP://H/", "http://H:80/", "http://H/", "/", "/"},
    {"http://h/p?", "http://h:80/p?", "http://h/p?", "/p?", "/p?"},
    {"http://h/p#", "http://h:80/p", "http://h/p", "/p", "/p#"},
};

TEST(UrlText, Table) {
  for (const TextCase& c : kTextCases) {
    SCOPED_TRACE(c.text);
    NPT_Url url(c.text, 80);
    NPT_HttpUrl http(c.text);
    ASSERT_TRUE(url.IsValid());
    ASSERT_TRUE(http.IsValid());
    EXPECT_STREQ(c.url_to_string, url.ToString(false).GetChars());
    EXPECT_STREQ(c.http_to_string, http.ToString(false).GetChars());
    EXPECT_STREQ(c.request, http.ToRequestString(false).GetChars());
    EXPECT_STREQ(c.request_with_fragment, http.ToRequestString(true).GetChars());
    // The override is reached through a base reference too.
    const NPT_Url& base = http;
    EXPECT_STREQ(c.http_to_string, base.ToString(false).GetChars());
  }
}

TEST(UrlText, ToStringWithDefaultPortOmitsOnlyThatPort) {
  NPT_Url url("http://h:8100/x");
  EXPECT_STREQ("http://h/x", url.ToStringWithDefaultPort(8100, false).GetChars());
  EXPECT_STREQ("http://h:8100/x", url.ToStringWithDefaultPort(8099, false).GetChars());
  EXPECT_STREQ("http://h:8100/x", url.ToString().GetChars());
}

TEST(UrlText, EmptyPathIsWrittenAsSlash) {
  NPT_Url url("http://h:1/p");
  ASSERT_EQ(NPT_SUCCESS, url.SetPathPlus("?a=b#c"));
  EXPECT_STREQ("", url.GetPath().GetChars());
  EXPECT_STREQ("/?a=b", url.ToRequestString(false).GetChars());
  EXPECT_STREQ("/?a=b#c", url.ToRequestString(true).GetChars());
  EXPECT_STREQ("http://h:1/?a=b#c", url.ToString(true).GetChars());
}

TEST(HttpUrl, SchemeMustBeHttp) {
  struct Case {
    const char* text;
    bool ignore_scheme;
    bool valid;
  } cases[] = {
      {"http://h/", false, true},
      {"HtTp://h/", false, true},
      {"https://h/", false, false},
      {"ftp://h/", false, false},
      {"https://h/", true, true},
      {"ftp://h:21/", true, true},
      {"http://h:99999/", false, false},
      {"http:/h/", false, false},
      {nullptr, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    NPT_HttpUrl url(c.text, c.ignore_scheme);
    EXPECT_EQ(c.valid, url.IsValid());
    if (!c.valid) {
      EXPECT_TRUE(url.GetHost().IsEmpty());
      EXPECT_EQ(0, url.GetPort());
    }
  }
}

TEST(HttpUrl, DefaultPortIs80) {
  NPT_HttpUrl url("https://h/x", true);
  EXPECT_EQ(80, url.GetPort());
  EXPECT_STREQ("https://h/x", url.ToString().GetChars());
}

TEST(HttpUrl, FromPartsStoresThemUnchanged) {
  NPT_HttpUrl probe("10.0.0.1", 8099, "/");
  EXPECT_TRUE(probe.IsValid());
  EXPECT_STREQ("http", probe.GetScheme().GetChars());
  EXPECT_EQ(NPT_Uri::SCHEME_ID_HTTP, probe.GetSchemeId());
  EXPECT_FALSE(probe.HasQuery());
  EXPECT_FALSE(probe.HasFragment());
  EXPECT_STREQ("http://10.0.0.1:8099/", probe.ToString().GetChars());

  NPT_HttpUrl parts("h", 80, "/a b", "", "f%");
  EXPECT_STREQ("/a b", parts.GetPath().GetChars());
  EXPECT_TRUE(parts.HasQuery());
  EXPECT_TRUE(parts.HasFragment());
  EXPECT_STREQ("http://h/a b?#f%", parts.ToString(true).GetChars());

  NPT_Url other("HTTPS", "h", 443, "/", "q", nullptr);
  EXPECT_STREQ("https", other.GetScheme().GetChars());
  EXPECT_EQ(NPT_Uri::SCHEME_ID_HTTPS, other.GetSchemeId());
  EXPECT_TRUE(other.HasQuery());
  EXPECT_FALSE(other.HasFragment());
}

TEST(HttpUrl, CopyFromUrlKeepsFieldsAndUsesHttpTextForm) {
  NPT_Url url("http://h:80/p?q#f");
  NPT_HttpUrl http(url);
  EXPECT_STREQ("http://h:80/p?q#f", url.ToString().GetChars());
  EXPECT_STREQ("http://h/p?q#f", http.ToString().GetChars());
  EXPECT_EQ(url.GetPort(), http.GetPort());
  EXPECT_STREQ(url.GetQuery().GetChars(), http.GetQuery().GetChars());
}

TEST(Url, DefaultAndReset) {
  NPT_Url url;
  EXPECT_STREQ("/", url.GetPath().GetChars());
  EXPECT_FALSE(url.IsValid());
  EXPECT_TRUE(url.GetScheme().IsEmpty());
  EXPECT_EQ(NPT_Uri::SCHEME_ID_UNKNOWN, url.GetSchemeId());

  ASSERT_EQ(NPT_SUCCESS, url.Parse("http://h:1/p?q#f"));
  url.Reset();
  EXPECT_STREQ("http", url.GetScheme().GetChars());
  EXPECT_EQ(NPT_Uri::SCHEME_ID_HTTP, url.GetSchemeId());
  EXPECT_TRUE(url.GetHost().IsEmpty());
  EXPECT_EQ(0, url.GetPort());
  EXPECT_TRUE(url.GetPath().IsEmpty());
  EXPECT_FALSE(url.HasQuery());
  EXPECT_FALSE(url.HasFragment());
}

TEST(Url, SetHost) {
  struct Case {
    const char* text;
    const char* host;
    NPT_UInt16 port;  // the port starts at 1234
  } cases[] = {
      {"example", "example", 1234},
      {"example:8080", "example", 8080},
      {"example:", "example", 1234},
      {"example:x", "example", 1234},
      {"example:65535", "example", 65535},
      // Out of range: the port is left as it was rather than wrapped.
      {"example:65536", "example", 1234},
      {"example:99999999999", "example", 1234},
      {":81", "", 81},
      {"a:1:2", "a", 1},
      {"", "", 1234},
      {nullptr, "", 1234},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    NPT_Url url("http://old:1234/");
    EXPECT_EQ(NPT_SUCCESS, url.SetHost(c.text));
    EXPECT_STREQ(c.host, url.GetHost().GetChars());
    EXPECT_EQ(c.port, url.GetPort());
  }
}

TEST(Url, SetPathPlus) {
  struct Case {
    const char* text;
    const char* path;
    bool has_query;
    const char* query;
    bool has_fragment;
    const char* fragment;
    const char* request_with_fragment;
  } cases[] = {
      {"/a", "/a", false, "", false, "", "/a"},
      {"/a?b", "/a", true, "b", false, "", "/a?b"},
      {"/a#c", "/a", false, "", true, "c", "/a#c"},
      {"/a?b#c", "/a", true, "b", true, "c", "/a?b#c"},
      {"?b", "", true, "b", false, "", "/?b"},
      {"#c", "", false, "", true, "c", "/#c"},
      {"", "", false, "", false, "", "/"},
      {"?", "", true, "", false, "", "/?"},
      {"?#", "", true, "", true, "", "/?#"},
      {"/a?b?c#d#e", "/a", true, "b?c", true, "d#e", "/a?b?c#d#e"},
      {"rel/ative", "rel/ative", false, "", false, "", "rel/ative"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    NPT_Url url("http://h:1/old?q#f");
    EXPECT_EQ(NPT_SUCCESS, url.SetPathPlus(c.text));
    EXPECT_STREQ(c.path, url.GetPath().GetChars());
    EXPECT_EQ(c.has_query, url.HasQuery());
    EXPECT_STREQ(c.query, url.GetQuery().GetChars());
    EXPECT_EQ(c.has_fragment, url.HasFragment());
    EXPECT_STREQ(c.fragment, url.GetFragment().GetChars());
    EXPECT_STREQ(c.request_with_fragment, url.ToRequestString(true).GetChars());
  }

  NPT_Url url("http://h:1/old?q#f");
  EXPECT_EQ(NPT_ERROR_INVALID_PARAMETERS, url.SetPathPlus(nullptr));
  EXPECT_STREQ("/old?q#f", url.ToRequestString(true).GetChars());
}

TEST(Url, SetPathQueryFragment) {
  NPT_Url url("http://h:1/");
  // Encoded: stored as given.
  url.SetPath("/a%20b?", true);
  EXPECT_STREQ("/a%20b?", url.GetPath().GetChars());
  // Not encoded: the path set with '%' encoded too.
  url.SetPath("/a b?#[]%/c");
  EXPECT_STREQ("/a%20b%3F%23%5B%5D%25/c", url.GetPath().GetChars());

  url.SetQuery("x=1 2?#");
  EXPECT_TRUE(url.HasQuery());
  EXPECT_STREQ("x=1%202?%23", url.GetQuery().GetChars());
  url.SetQuery("");
  EXPECT_FALSE(url.HasQuery());
  url.SetQuery("a%b", true);
  EXPECT_TRUE(url.HasQuery());
  EXPECT_STREQ("a%b", url.GetQuery().GetChars());
  url.SetQuery(nullptr);
  EXPECT_FALSE(url.HasQuery());

  url.SetFragment("");
  EXPECT_TRUE(url.HasFragment());
  url.SetFragment("a#b [c]?");
  EXPECT_STREQ("a#b%20%5Bc%5D?", url.GetFragment().GetChars());
  url.SetFragment(nullptr);
  EXPECT_FALSE(url.HasFragment());
  EXPECT_TRUE(url.GetFragment().IsEmpty());
}

TEST(Uri, Scheme) {
  struct Case {
    const char* uri;
    NPT_Result result;
    const char* scheme;
    NPT_Uri::SchemeId id;
  } cases[] = {
      {"http:", NPT_SUCCESS, "http", NPT_Uri::SCHEME_ID_HTTP},
      {"HTTPS://x", NPT_SUCCESS, "https", NPT_Uri::SCHEME_ID_HTTPS},
      {"a+b-c.d:rest", NPT_SUCCESS, "a+b-c.d", NPT_Uri::SCHEME_ID_UNKNOWN},
      {"httpx:", NPT_SUCCESS, "httpx", NPT_Uri::SCHEME_ID_UNKNOWN},
      {"9:x", NPT_SUCCESS, "9", NPT_Uri::SCHEME_ID_UNKNOWN},
      {"ht_tp:", NPT_ERROR_INVALID_SYNTAX, "old", NPT_Uri::SCHEME_ID_UNKNOWN},
      {"ht tp:", NPT_ERROR_INVALID_SYNTAX, "old", NPT_Uri::SCHEME_ID_UNKNOWN},
      {"http", NPT_ERROR_INVALID_SYNTAX, "old", NPT_Uri::SCHEME_ID_UNKNOWN},
      {"/x:y", NPT_ERROR_INVALID_SYNTAX, "old", NPT_Uri::SCHEME_ID_UNKNOWN},
      {nullptr, NPT_ERROR_INVALID_PARAMETERS, "old", NPT_Uri::SCHEME_ID_UNKNOWN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.uri ? c.uri : "(null)");
    NPT_Uri uri;
    uri.SetScheme("OLD");
    EXPECT_EQ(c.result, uri.SetSchemeFromUri(c.uri));
    EXPECT_STREQ(c.scheme, uri.GetScheme().GetChars());
    EXPECT_EQ(c.id, uri.GetSchemeId());
  }

  EXPECT_EQ(NPT_Uri::SCHEME_ID_HTTP, NPT_Uri::ParseScheme("http"));
  EXPECT_EQ(NPT_Uri::SCHEME_ID_HTTPS, NPT_Uri::ParseScheme("https"));
  EXPECT_EQ(NPT_Uri::SCHEME_ID_UNKNOWN, NPT_Uri::ParseScheme("HTTP"));
  EXPECT_EQ(NPT_Uri::SCHEME_ID_UNKNOWN, NPT_Uri::ParseScheme(""));
}

TEST(Uri, PercentEncode) {
  struct Case {
    const char* text;
    const char* set;
    bool encode_percents;
    const char* expected;
  } cases[] = {
      {"a b", NPT_Uri::PathCharsToEncode, true, "a%20b"},
      {"100%", NPT_Uri::PathCharsToEncode, true, "100%25"},
      {"100%", NPT_Uri::PathCharsToEncode, false, "100%"},
      {" !\"<>\\^`{|}", NPT_Uri::UnsafeCharsToEncode, true, "%20%21%22%3C%3E%5C%5E%60%7B%7C%7D"},
      {"?#[]", NPT_Uri::PathCharsToEncode, true, "%3F%23%5B%5D"},
      {"?#[]", NPT_Uri::QueryCharsToEncode, true, "?%23%5B%5D"},
      {"?#[]", NPT_Uri::FragmentCharsToEncode, true, "?#%5B%5D"},
      {"?#[]", NPT_Uri::UnsafeCharsToEncode, true, "?#[]"},
      {"\x01\x1f~\x7f\x80\xff", nullptr, true, "%01%1F~%7F%80%FF"},
      {"plain-._~:/@&=+$,;'()*", NPT_Uri::PathCharsToEncode, true, "plain-._~:/@&=+$,;'()*"},
      {"", NPT_Uri::PathCharsToEncode, true, ""},
      {nullptr, NPT_Uri::PathCharsToEncode, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    EXPECT_STREQ(c.expected, NPT_Uri::PercentEncode(c.text, c.set, c.encode_percents).GetChars());
  }
}

TEST(Uri, PercentDecode) {
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"a%20b", "a b"},
      {"100%zz", "100%zz"},
      {"%", "%"},
      {"%4", "%4"},
      {"%4g%41", "%4gA"},
      {"%%41", "%A"},
      {"%7e%7E", "~~"},
      {"%e2%82%ac", "\xe2\x82\xac"},
      {"no escapes", "no escapes"},
      {"", ""},
      {nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    EXPECT_STREQ(c.expected, NPT_Uri::PercentDecode(c.text).GetChars());
  }
}

TEST(Uri, EncodeThenDecodeRestoresEveryByte) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  const char* sets[] = {NPT_Uri::UnsafeCharsToEncode, NPT_Uri::PathCharsToEncode, NPT_Uri::QueryCharsToEncode,
                        NPT_Uri::FragmentCharsToEncode};
  for (const char* set : sets) {
    NPT_String encoded = NPT_Uri::PercentEncode(all.c_str(), set, true);
    for (const char* p = encoded.GetChars(); *p; ++p) {
      ASSERT_TRUE(*p >= 0x20 && *p <= 0x7E) << int(*p);
    }
    NPT_String decoded = NPT_Uri::PercentDecode(encoded);
    EXPECT_EQ(all, std::string(decoded.GetChars(), decoded.GetLength()));
  }
}

}  // namespace
