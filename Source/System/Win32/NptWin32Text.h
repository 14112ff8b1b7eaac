#pragma once
// UTF-8 to UTF-16 conversion for the wide-character Win32 calls.

#include <windows.h>

#include <new>

// Holds the wide form of a UTF-8 text for the duration of one call. Get() is
// null when the text is null or not valid UTF-8.
class NPT_Win32WideText {
 public:
  explicit NPT_Win32WideText(const char* text) : m_Text(nullptr) {
    if (text == nullptr) return;
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (length <= 0) return;
    m_Text = new (std::nothrow) wchar_t[length];
    if (m_Text && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, m_Text, length) != length) {
      delete[] m_Text;
      m_Text = nullptr;
    }
  }
  ~NPT_Win32WideText() { delete[] m_Text; }
  NPT_Win32WideText(const NPT_Win32WideText&) = delete;
  NPT_Win32WideText& operator=(const NPT_Win32WideText&) = delete;

  const wchar_t* Get() const { return m_Text; }

 private:
  wchar_t* m_Text;
};
