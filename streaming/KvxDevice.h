#pragma once
// KVX_Device: the per-device streaming object. For now it carries only the
// authentication token that every request to the companion app must send in
// the "X-LUMOX-AUTH" header; the streaming machinery joins it here.

#include "NptResults.h"
#include "NptStrings.h"

class KVX_Device {
 public:
  // Replaces `token` with a fresh token: 32 upper-case hex digits of random
  // nonce, ",", then the 40 upper-case hex digits of SHA-1 over the nonce
  // followed by the shared secret (73 characters in all). Every call draws a
  // new nonce. Always returns NPT_SUCCESS. Safe from any thread.
  static NPT_Result CreateAuthentication(NPT_String& token);
};
