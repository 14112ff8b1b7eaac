// SHA-1 (FIPS 180-1).

#include "KvxSha1.h"

#include <cstdio>
#include <cstring>

namespace {

inline NPT_UInt32 RotateLeft(NPT_UInt32 value, int bits) { return (value << bits) | (value >> (32 - bits)); }

// Word i of the gathered block as the big-endian word the algorithm wants.
inline NPT_UInt32 BlockWord(const SHA_CTX* context, int i) {
  if (context->Endianness) return context->data[i];
  const NPT_Byte* bytes = reinterpret_cast<const NPT_Byte*>(context->data) + 4 * i;
  return (NPT_UInt32(bytes[0]) << 24) | (NPT_UInt32(bytes[1]) << 16) | (NPT_UInt32(bytes[2]) << 8) |
         NPT_UInt32(bytes[3]);
}

// Compresses the full block in context->data into the chaining words.
void Compress(SHA_CTX* context) {
  NPT_UInt32 w[80];
  for (int i = 0; i < 16; ++i) w[i] = BlockWord(context, i);
  for (int i = 16; i < 80; ++i) w[i] = RotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

  NPT_UInt32 a = context->digest[0];
  NPT_UInt32 b = context->digest[1];
  NPT_UInt32 c = context->digest[2];
  NPT_UInt32 d = context->digest[3];
  NPT_UInt32 e = context->digest[4];
  for (int i = 0; i < 80; ++i) {
    NPT_UInt32 f;
    NPT_UInt32 k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    const NPT_UInt32 temp = RotateLeft(a, 5) + f + e + w[i] + k;
    e = d;
    d = c;
    c = RotateLeft(b, 30);
    b = a;
    a = temp;
  }
  context->digest[0] += a;
  context->digest[1] += b;
  context->digest[2] += c;
  context->digest[3] += d;
  context->digest[4] += e;
}

inline NPT_Byte* BlockBytes(SHA_CTX* context) { return reinterpret_cast<NPT_Byte*>(context->data); }

}  // namespace

void SHAInit(SHA_CTX* context) {
  context->digest[0] = 0x67452301;
  context->digest[1] = 0xEFCDAB89;
  context->digest[2] = 0x98BADCFE;
  context->digest[3] = 0x10325476;
  context->digest[4] = 0xC3D2E1F0;
  context->countLo = 0;
  context->countHi = 0;
  std::memset(context->data, 0, sizeof(context->data));
  context->Endianness = 0;
}

void SHAUpdate(SHA_CTX* context, const NPT_Byte* data, NPT_Int32 count) {
  if (count <= 0) return;

  // Bytes already gathered in the block, from the bit count before this call.
  NPT_UInt32 used = (context->countLo >> 3) & 63;

  const NPT_UInt64 bits = NPT_UInt64(NPT_UInt32(count)) << 3;
  const NPT_UInt32 previous_low = context->countLo;
  context->countLo += NPT_UInt32(bits);
  if (context->countLo < previous_low) ++context->countHi;
  context->countHi += NPT_UInt32(bits >> 32);

  NPT_UInt32 remaining = NPT_UInt32(count);
  while (remaining > 0) {
    NPT_UInt32 chunk = 64 - used;
    if (chunk > remaining) chunk = remaining;
    std::memcpy(BlockBytes(context) + used, data, chunk);
    data += chunk;
    remaining -= chunk;
    used += chunk;
    if (used == 64) {
      Compress(context);
      used = 0;
    }
  }
}

void SHAFinal(NPT_Byte* digest, SHA_CTX* context) {
  NPT_UInt32 used = (context->countLo >> 3) & 63;
  NPT_Byte* block = BlockBytes(context);

  block[used++] = 0x80;
  if (used > 56) {
    // Fewer than 8 bytes left for the bit count: finish this block first.
    std::memset(block + used, 0, 64 - used);
    Compress(context);
    used = 0;
  }
  std::memset(block + used, 0, 56 - used);

  // The bit count, high word first, each word most significant byte first.
  // Written as bytes so that the byte-order flag treats it like message data.
  const NPT_UInt32 words[2] = {context->countHi, context->countLo};
  for (int w = 0; w < 2; ++w) {
    block[56 + 4 * w] = NPT_Byte(words[w] >> 24);
    block[57 + 4 * w] = NPT_Byte(words[w] >> 16);
    block[58 + 4 * w] = NPT_Byte(words[w] >> 8);
    block[59 + 4 * w] = NPT_Byte(words[w]);
  }
  Compress(context);

  for (int i = 0; i < 5; ++i) {
    digest[4 * i] = NPT_Byte(context->digest[i] >> 24);
    digest[4 * i + 1] = NPT_Byte(context->digest[i] >> 16);
    digest[4 * i + 2] = NPT_Byte(context->digest[i] >> 8);
    digest[4 * i + 3] = NPT_Byte(context->digest[i]);
  }
}

void SHAFinalHex(char* text, SHA_CTX* context) {
  static const char hex[] = "0123456789ABCDEF";
  NPT_Byte digest[20];
  SHAFinal(digest, context);
  for (int i = 0; i < 20; ++i) {
    text[2 * i] = hex[digest[i] >> 4];
    text[2 * i + 1] = hex[digest[i] & 0x0F];
  }
  text[40] = '\0';
}

namespace {

void PrintDigest(const NPT_Byte digest[20], const char* published) {
  for (int i = 0; i < 20; ++i) {
    if (i % 4 == 0) std::printf(" ");
    std::printf("%02x", digest[i]);
  }
  std::printf("\n");
  std::printf(" %s <= correct\n", published);
}

}  // namespace

void Sha1Test() {
  static const char kMessage1[] = "abc";
  static const char kMessage2[] = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  SHA_CTX context;
  NPT_Byte digest[20];

  SHAInit(&context);
  SHAUpdate(&context, reinterpret_cast<const NPT_Byte*>(kMessage1), NPT_Int32(sizeof(kMessage1) - 1));
  SHAFinal(digest, &context);
  PrintDigest(digest, "A9993E36 4706816A BA3E2571 7850C26C 9CD0D89D");

  SHAInit(&context);
  SHAUpdate(&context, reinterpret_cast<const NPT_Byte*>(kMessage2), NPT_Int32(sizeof(kMessage2) - 1));
  SHAFinal(digest, &context);
  PrintDigest(digest, "84983E44 1C3BD26E BAAE4AA1 F95129E5 E54670F1");

  NPT_Byte thousand_a[1000];
  std::memset(thousand_a, 'a', sizeof(thousand_a));
  SHAInit(&context);
  for (int i = 0; i < 1000; ++i) SHAUpdate(&context, thousand_a, NPT_Int32(sizeof(thousand_a)));
  SHAFinal(digest, &context);
  PrintDigest(digest, "34AA973C D4C4DAA4 F61EEB2B DBAD2731 6534016F");
  std::fflush(stdout);
}
