#pragma once
// IPv4 addresses. An NPT_IpAddress holds the four bytes of an address, most
// significant first, exactly as written in dotted form; the empty address is
// 0.0.0.0 (the any-address). Its 32-bit value is those bytes read big-endian,
// so 127.0.0.1 has the value 0x7F000001 on every host.

#include "NptResults.h"
#include "NptStrings.h"
#include "NptTypes.h"

class NPT_IpAddress {
 public:
  static const NPT_IpAddress Any;       // 0.0.0.0
  static const NPT_IpAddress Loopback;  // 127.0.0.1

  constexpr NPT_IpAddress() : m_Address{0, 0, 0, 0} {}
  // From the 32-bit value (big-endian reading of the four bytes).
  constexpr explicit NPT_IpAddress(NPT_UInt32 value)
      : m_Address{(NPT_Byte)(value >> 24), (NPT_Byte)(value >> 16), (NPT_Byte)(value >> 8), (NPT_Byte)value} {}
  constexpr NPT_IpAddress(NPT_Byte a, NPT_Byte b, NPT_Byte c, NPT_Byte d) : m_Address{a, b, c, d} {}

  // Takes a dotted IPv4 literal: exactly four decimal parts, each 0..255,
  // separated by single dots, nothing before or after.
  //   null text                          -> NPT_ERROR_INVALID_PARAMETERS
  //   any other character, a part above
  //   255, an empty part, not exactly
  //   four parts, trailing characters    -> NPT_ERROR_INVALID_SYNTAX
  // On failure the address is left unchanged.
  NPT_Result Parse(const char* text);

  // Sets the address from a host name or a dotted literal. The address is
  // reset to 0.0.0.0 first. A literal is taken without any lookup; any other
  // name is looked up with the system resolver (IPv4 only) and the first
  // address found is taken. A null or empty name, and every failed lookup
  // whatever its cause, give NPT_ERROR_HOST_UNKNOWN. The timeout is accepted
  // for interface compatibility and not used: the lookup takes as long as the
  // system resolver takes. Safe to call from several threads at once.
  NPT_Result ResolveName(const char* name, NPT_Timeout timeout = NPT_TIMEOUT_INFINITE);

  void Set(NPT_UInt32 value);
  void Set(const NPT_Byte bytes[4]);
  NPT_UInt32 AsLong() const {
    return ((NPT_UInt32)m_Address[0] << 24) | ((NPT_UInt32)m_Address[1] << 16) | ((NPT_UInt32)m_Address[2] << 8) |
           (NPT_UInt32)m_Address[3];
  }
  const NPT_Byte* AsBytes() const { return m_Address; }
  // Dotted form, e.g. "192.168.1.10".
  NPT_String ToString() const;

  bool operator==(const NPT_IpAddress& other) const { return AsLong() == other.AsLong(); }
  bool operator!=(const NPT_IpAddress& other) const { return AsLong() != other.AsLong(); }

 private:
  NPT_Byte m_Address[4];
};
