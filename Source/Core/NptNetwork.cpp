// IPv4 address value and dotted-literal parsing. Name lookup is in the
// platform layer (ResolveName).

#include "NptNetwork.h"

const NPT_IpAddress NPT_IpAddress::Any;
const NPT_IpAddress NPT_IpAddress::Loopback(127, 0, 0, 1);

NPT_Result NPT_IpAddress::Parse(const char* text) {
  if (text == nullptr) return NPT_ERROR_INVALID_PARAMETERS;

  NPT_Byte parsed[4];
  unsigned int part = 0;  // index of the part being read
  unsigned int value = 0;
  unsigned int digits = 0;
  for (const char* c = text;; ++c) {
    if (*c >= '0' && *c <= '9') {
      value = value * 10 + (unsigned int)(*c - '0');
      // Checked per digit so that long digit runs cannot overflow.
      if (value > 255) return NPT_ERROR_INVALID_SYNTAX;
      ++digits;
    } else if (*c == '.' || *c == '\0') {
      if (digits == 0) return NPT_ERROR_INVALID_SYNTAX;  // empty part
      if (part >= 4) return NPT_ERROR_INVALID_SYNTAX;
      parsed[part++] = (NPT_Byte)value;
      value = 0;
      digits = 0;
      if (*c == '\0') break;
      if (part == 4) return NPT_ERROR_INVALID_SYNTAX;  // a fifth part or trailing dot
    } else {
      return NPT_ERROR_INVALID_SYNTAX;
    }
  }
  if (part != 4) return NPT_ERROR_INVALID_SYNTAX;

  Set(parsed);
  return NPT_SUCCESS;
}

void NPT_IpAddress::Set(NPT_UInt32 value) {
  m_Address[0] = (NPT_Byte)(value >> 24);
  m_Address[1] = (NPT_Byte)(value >> 16);
  m_Address[2] = (NPT_Byte)(value >> 8);
  m_Address[3] = (NPT_Byte)value;
}

void NPT_IpAddress::Set(const NPT_Byte bytes[4]) {
  for (unsigned int i = 0; i < 4; i++) m_Address[i] = bytes[i];
}

NPT_String NPT_IpAddress::ToString() const {
  return NPT_String::Format("%u.%u.%u.%u", (unsigned int)m_Address[0], (unsigned int)m_Address[1],
                            (unsigned int)m_Address[2], (unsigned int)m_Address[3]);
}
