#pragma once
// SHA-1 (FIPS 180-1), used to sign the requests sent to the companion app.
//
// A context serves one digest: SHAInit, any number of SHAUpdate calls, then
// one SHAFinal or SHAFinalHex. All state lives in the caller's context, so
// several threads may hash at once, each with its own context. None of these
// functions checks its pointers: callers pass valid storage.

#include "NptTypes.h"

struct SHA_CTX {
  NPT_UInt32 digest[5];  // chaining words: the running hash state
  NPT_UInt32 countLo;    // message length in bits, low word
  NPT_UInt32 countHi;    // message length in bits, high word
  NPT_UInt32 data[16];   // the 64-byte message block being gathered, bytes in message order
  NPT_Int32 Endianness;  // 0: regroup the block's bytes as big-endian words before each
                         // compression (correct on any host); 1: use the words as they
                         // are in memory (only correct on big-endian hosts)
};

// FIPS 180-1 initial chaining values, bit count 0, byte-order flag 0.
void SHAInit(SHA_CTX* context);
// Appends `count` bytes to the message. A count of 0 or less appends nothing.
void SHAUpdate(SHA_CTX* context, const NPT_Byte* data, NPT_Int32 count);
// Pads the message and writes the 20 digest bytes, first word first, each
// word most significant byte first.
void SHAFinal(NPT_Byte* digest, SHA_CTX* context);
// As SHAFinal, then writes the digest as 40 upper-case hex characters and a
// NUL into `text` (room for 41 characters).
void SHAFinalHex(char* text, SHA_CTX* context);
// Prints, for each of the three FIPS 180-1 test messages, the computed digest
// (lower case, a blank before every group of four bytes) and on the next line
// the published digest followed by " <= correct". Compares nothing itself.
void Sha1Test();
