// SHA-1 against the FIPS 180-1 vectors, and the request authentication token.

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "KvxAuthentication.h"
#include "KvxDevice.h"
#include "KvxSha1.h"

namespace {

const char kAbcDigest[] = "A9993E364706816ABA3E25717850C26C9CD0D89D";
const char k56Message[] = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const char k56Digest[] = "84983E441C3BD26EBAAE4AA1F95129E5E54670F1";
const char kMillionADigest[] = "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F";

std::string HexDigest(const std::string& message) {
  SHA_CTX context;
  SHAInit(&context);
  SHAUpdate(&context, reinterpret_cast<const NPT_Byte*>(message.data()), NPT_Int32(message.size()));
  char hex[41];
  std::memset(hex, 'x', sizeof(hex));
  SHAFinalHex(hex, &context);
  EXPECT_EQ('\0', hex[40]);
  return hex;
}

TEST(Sha1, KnownDigests) {
  struct Case {
    std::string message;
    const char* digest;
  } cases[] = {
      {"", "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"},
      {"abc", kAbcDigest},
      {k56Message, k56Digest},
      {"The quick brown fox jumps over the lazy dog", "2FD4E1C67A2D28FCED849EE1BB76E7391B93EB12"},
      // Padding edges: 55 bytes leave room for the length in the same block,
      // 56 bytes need a second block, 64 bytes fill one block exactly.
      {std::string(55, 'a'), "C1C8BBDC22796E28C0E15163D20899B65621D65A"},
      {std::string(56, 'a'), "C2DB330F6083854C99D4B5BFB6E8F29F201BE699"},
      {std::string(57, 'a'), "F08F24908D682555111BE7FF6F004E78283D989A"},
      {std::string(63, 'a'), "03F09F5B158A7A8CDAD920BDDC29B81C18A551F5"},
      {std::string(64, 'a'), "0098BA824B5C16427BD7A1122A5A442A25EC644D"},
      {std::string(65, 'a'), "11655326C708D70319BE2610E8A57D9A5B959D3B"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message.size());
    EXPECT_EQ(c.digest, HexDigest(c.message));
  }
}

TEST(Sha1, MillionAInOneCall) {
  std::vector<NPT_Byte> message(1000000, 'a');
  SHA_CTX context;
  SHAInit(&context);
  SHAUpdate(&context, message.data(), NPT_Int32(message.size()));
  char hex[41];
  SHAFinalHex(hex, &context);
  EXPECT_STREQ(kMillionADigest, hex);
}

TEST(Sha1, MillionAInThousandCalls) {
  std::vector<NPT_Byte> chunk(1000, 'a');
  SHA_CTX context;
  SHAInit(&context);
  for (int i = 0; i < 1000; ++i) SHAUpdate(&context, chunk.data(), NPT_Int32(chunk.size()));
  char hex[41];
  SHAFinalHex(hex, &context);
  EXPECT_STREQ(kMillionADigest, hex);
}

TEST(Sha1, SplittingTheInputAtAnyOffsetGivesTheSameDigest) {
  // Two blocks and a bit, so splits fall before, on and after block edges.
  std::string message;
  for (int i = 0; i < 150; ++i) message += static_cast<char>('!' + (i * 7) % 90);
  const std::string whole = HexDigest(message);
  for (size_t split = 0; split <= message.size(); ++split) {
    SHA_CTX context;
    SHAInit(&context);
    SHAUpdate(&context, reinterpret_cast<const NPT_Byte*>(message.data()), NPT_Int32(split));
    SHAUpdate(&context, reinterpret_cast<const NPT_Byte*>(message.data()) + split,
              NPT_Int32(message.size() - split));
    char hex[41];
    SHAFinalHex(hex, &context);
    ASSERT_EQ(whole, hex) << "split at " << split;
  }
}

TEST(Sha1, EmptyAndNegativeUpdatesAddNothing) {
  SHA_CTX context;
  SHAInit(&context);
  SHAUpdate(&context, reinterpret_cast<const NPT_Byte*>("a"), 0);
  SHAUpdate(&context, reinterpret_cast<const NPT_Byte*>("abc"), 3);
  SHAUpdate(&context, reinterpret_cast<const NPT_Byte*>("zzz"), -5);
  char hex[41];
  SHAFinalHex(hex, &context);
  EXPECT_STREQ(kAbcDigest, hex);
}

TEST(Sha1, InitStateAndBinaryDigest) {
  SHA_CTX context;
  std::memset(&context, 0xA5, sizeof(context));
  SHAInit(&context);
  EXPECT_EQ(0x67452301u, context.digest[0]);
  EXPECT_EQ(0xEFCDAB89u, context.digest[1]);
  EXPECT_EQ(0x98BADCFEu, context.digest[2]);
  EXPECT_EQ(0x10325476u, context.digest[3]);
  EXPECT_EQ(0xC3D2E1F0u, context.digest[4]);
  EXPECT_EQ(0u, context.countLo);
  EXPECT_EQ(0u, context.countHi);
  EXPECT_EQ(0, context.Endianness);

  SHAUpdate(&context, reinterpret_cast<const NPT_Byte*>("abc"), 3);
  EXPECT_EQ(24u, context.countLo);
  NPT_Byte digest[20];
  SHAFinal(digest, &context);
  const NPT_Byte expected[20] = {0xA9, 0x99, 0x3E, 0x36, 0x47, 0x06, 0x81, 0x6A, 0xBA, 0x3E,
                                 0x25, 0x71, 0x78, 0x50, 0xC2, 0x6C, 0x9C, 0xD0, 0xD8, 0x9D};
  EXPECT_EQ(0, std::memcmp(expected, digest, 20));
}

TEST(Sha1, BitCountCarriesIntoHighWord) {
  // Start just below 2^32 bits (a whole number of blocks, so the block is
  // empty) rather than hashing 512 MiB: one more block must wrap the low word
  // to 0 and carry one into the high word.
  SHA_CTX context;
  SHAInit(&context);
  context.countLo = 0xFFFFFE00u;
  std::vector<NPT_Byte> block(64, 'a');
  SHAUpdate(&context, block.data(), NPT_Int32(block.size()));
  EXPECT_EQ(0u, context.countLo);
  EXPECT_EQ(1u, context.countHi);
  SHAUpdate(&context, block.data(), 1);
  EXPECT_EQ(8u, context.countLo);
  EXPECT_EQ(1u, context.countHi);
}

TEST(Sha1, SelfTestOutputFormat) {
  testing::internal::CaptureStdout();
  Sha1Test();
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(
      " a9993e36 4706816a ba3e2571 7850c26c 9cd0d89d\n"
      " A9993E36 4706816A BA3E2571 7850C26C 9CD0D89D <= correct\n"
      " 84983e44 1c3bd26e baae4aa1 f95129e5 e54670f1\n"
      " 84983E44 1C3BD26E BAAE4AA1 F95129E5 E54670F1 <= correct\n"
      " 34aa973c d4c4daa4 f61eeb2b dbad2731 6534016f\n"
      " 34AA973C D4C4DAA4 F61EEB2B DBAD2731 6534016F <= correct\n",
      output);
}

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

TEST(Authentication, SharedSecretIsTheFivePiecesInOrder) {
  NPT_String secret("left over");
  KVX_AssembleSharedSecret(secret);
  EXPECT_EQ(KVX_AUTH_SECRET_LENGTH, secret.GetLength());
  EXPECT_STREQ("KX7Q258R4-T9.W2!M7_Z3#P6+B1*D8?F0QWERTYUIOPASDFGHJKLZXCVBNM", secret.GetChars());
}

TEST(Authentication, DigestOfKnownNonce) {
  const char nonce[] = "0123456789ABCDEF0123456789ABCDEF";
  NPT_String digest("left over");
  KVX_ComputeAuthenticationDigest(nonce, 32, digest);
  EXPECT_STREQ("532A5739E26B7627265E623ACD9967702A72A08E", digest.GetChars());
  // Only the given bytes of the nonce are hashed.
  KVX_ComputeAuthenticationDigest("0123456789ABCDEF0123456789ABCDEF-extra", 32, digest);
  EXPECT_STREQ("532A5739E26B7627265E623ACD9967702A72A08E", digest.GetChars());
  EXPECT_TRUE(KVX_VerifyAuthenticationToken(
      "0123456789ABCDEF0123456789ABCDEF,532A5739E26B7627265E623ACD9967702A72A08E"));
}

TEST(Authentication, TokenShapeAndRecomputation) {
  for (int round = 0; round < 50; ++round) {
    NPT_String token("left over");
    ASSERT_EQ(NPT_SUCCESS, KVX_Device::CreateAuthentication(token));
    ASSERT_EQ(KVX_AUTH_TOKEN_LENGTH, token.GetLength());
    for (NPT_Size i = 0; i < token.GetLength(); ++i) {
      if (i == 32) {
        ASSERT_EQ(',', token[int(i)]);
      } else {
        ASSERT_TRUE(IsUpperHex(token[int(i)])) << token.GetChars();
      }
    }
    NPT_String digest;
    KVX_ComputeAuthenticationDigest(token.GetChars(), 32, digest);
    EXPECT_STREQ(digest.GetChars(), token.GetChars() + 33);
    EXPECT_TRUE(KVX_VerifyAuthenticationToken(token));
  }
}

TEST(Authentication, TokensDiffer) {
  NPT_String first;
  NPT_String second;
  ASSERT_EQ(NPT_SUCCESS, KVX_Device::CreateAuthentication(first));
  ASSERT_EQ(NPT_SUCCESS, KVX_Device::CreateAuthentication(second));
  EXPECT_NE(std::string(first.GetChars(), 32), std::string(second.GetChars(), 32));
  EXPECT_NE(std::string(first.GetChars() + 33), std::string(second.GetChars() + 33));

  // Over many tokens every hex digit shows up in the nonces, and no nonce repeats.
  std::set<std::string> nonces;
  std::set<char> digits;
  for (int i = 0; i < 200; ++i) {
    NPT_String token;
    KVX_Device::CreateAuthentication(token);
    nonces.insert(std::string(token.GetChars(), 32));
    for (int j = 0; j < 32; ++j) digits.insert(token[j]);
  }
  EXPECT_EQ(200u, nonces.size());
  EXPECT_EQ(16u, digits.size());
}

TEST(Authentication, VerifyRejectsForgedAndMalformedTokens) {
  const std::string good = "0123456789ABCDEF0123456789ABCDEF,532A5739E26B7627265E623ACD9967702A72A08E";
  ASSERT_TRUE(KVX_VerifyAuthenticationToken(good.c_str()));

  std::vector<std::string> bad = {
      "",
      ",",
      good.substr(0, 72),                                    // one short
      good + "0",                                            // one long
      good + " ",                                            // trailing blank
      " " + good.substr(1),                                  // blank in the nonce
      "0123456789abcdef0123456789ABCDEF" + good.substr(32),  // lower-case nonce
      good.substr(0, 33) + "532a5739e26b7627265e623acd9967702a72a08e",  // lower-case digest
      good.substr(0, 32) + ";" + good.substr(33),            // wrong separator
      "1123456789ABCDEF0123456789ABCDEF" + good.substr(32),  // nonce changed
      good.substr(0, 72) + "F",                              // last digest digit changed
      good.substr(0, 33) + std::string(40, '0'),             // zero digest
      good.substr(1, 31) + ",," + good.substr(33),           // comma moved
  };
  for (const std::string& token : bad) {
    SCOPED_TRACE(token);
    EXPECT_FALSE(KVX_VerifyAuthenticationToken(token.c_str()));
  }
  EXPECT_FALSE(KVX_VerifyAuthenticationToken(nullptr));

  // A token made with any other secret fails: recompute with a one-character change.
  SHA_CTX context;
  SHAInit(&context);
  const std::string forged_input = "0123456789ABCDEF0123456789ABCDEFKX7Q258R4-T9.W2!M7_Z3#P6+B1*D8?F0QWERTYUIOPASDFGHJKLZXCVBNN";
  SHAUpdate(&context, reinterpret_cast<const NPT_Byte*>(forged_input.data()), NPT_Int32(forged_input.size()));
  char hex[41];
  SHAFinalHex(hex, &context);
  EXPECT_FALSE(KVX_VerifyAuthenticationToken((good.substr(0, 33) + hex).c_str()));
}

}  // namespace
