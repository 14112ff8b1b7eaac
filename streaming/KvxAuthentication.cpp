// Authentication tokens for requests to the companion app.

#include "KvxAuthentication.h"

#include <cstring>

#include "KvxDevice.h"
#include "KvxSha1.h"
#include "NptSystem.h"
#include "NptUtils.h"

namespace {

// The shared secret, kept as five separate pieces so that it never appears
// whole in the binary; joined in this order.
const char kSecretPiece1[] = "KX7Q2";
const char kSecretPiece2[] = "5";
const char kSecretPiece3[] = "8";
const char kSecretPiece4[] = "R4-T9.W2!M7_Z3#P6+B1*D8?F0";
const char kSecretPiece5[] = "QWERTYUIOPASDFGHJKLZXCVBNM";

bool IsUpperHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// Overwrites a string's characters before it is released, so the joined
// secret does not linger in freed memory.
void Wipe(NPT_String& text) {
  if (text.UseChars()) std::memset(text.UseChars(), 0, text.GetLength());
  text = NPT_String();
}

}  // namespace

void KVX_AssembleSharedSecret(NPT_String& secret) {
  secret = NPT_String();
  secret.Append(kSecretPiece1);
  secret.Append(kSecretPiece2);
  secret.Append(kSecretPiece3);
  secret.Append(kSecretPiece4);
  secret.Append(kSecretPiece5);
}

void KVX_ComputeAuthenticationDigest(const char* nonce, NPT_Size nonce_length, NPT_String& digest) {
  SHA_CTX context;
  SHAInit(&context);
  if (nonce && nonce_length) {
    SHAUpdate(&context, reinterpret_cast<const NPT_Byte*>(nonce), NPT_Int32(nonce_length));
  }
  NPT_String secret;
  KVX_AssembleSharedSecret(secret);
  SHAUpdate(&context, reinterpret_cast<const NPT_Byte*>(secret.GetChars()), NPT_Int32(secret.GetLength()));
  Wipe(secret);

  char hex[KVX_AUTH_DIGEST_LENGTH + 1];
  SHAFinalHex(hex, &context);
  digest = hex;
}

bool KVX_VerifyAuthenticationToken(const char* token) {
  if (token == nullptr) return false;
  // Shape first: a fixed length, so nothing is read past the terminator.
  for (NPT_Size i = 0; i < KVX_AUTH_TOKEN_LENGTH; ++i) {
    const char c = token[i];
    if (i == KVX_AUTH_NONCE_LENGTH) {
      if (c != ',') return false;
    } else if (!IsUpperHexDigit(c)) {
      return false;
    }
  }
  if (token[KVX_AUTH_TOKEN_LENGTH] != '\0') return false;

  NPT_String expected;
  KVX_ComputeAuthenticationDigest(token, KVX_AUTH_NONCE_LENGTH, expected);
  // Compare every character, so the time taken does not tell how much of a
  // forged digest was right.
  const char* received = token + KVX_AUTH_NONCE_LENGTH + 1;
  unsigned int difference = 0;
  for (NPT_Size i = 0; i < KVX_AUTH_DIGEST_LENGTH; ++i) {
    difference |= static_cast<unsigned int>(received[i] ^ expected[int(i)]);
  }
  return difference == 0;
}

NPT_Result KVX_Device::CreateAuthentication(NPT_String& token) {
  token = NPT_String();

  char nonce[KVX_AUTH_NONCE_LENGTH];
  for (NPT_Size i = 0; i < KVX_AUTH_NONCE_LENGTH; ++i) {
    nonce[i] = NPT_NibbleToHex(NPT_System::GetRandomInteger() & 0x0F, true);
  }

  NPT_String digest;
  KVX_ComputeAuthenticationDigest(nonce, KVX_AUTH_NONCE_LENGTH, digest);

  token.Reserve(KVX_AUTH_TOKEN_LENGTH);
  token.Append(nonce, KVX_AUTH_NONCE_LENGTH);
  token.Append(",");
  token.Append(digest);
  return NPT_SUCCESS;
}
