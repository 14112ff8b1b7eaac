#pragma once
// Request authentication shared by the library and the companion app.
//
// A token is "<nonce>,<digest>": a nonce of 32 upper-case hex digits, a comma,
// and the 40 upper-case hex digits of SHA-1 over the nonce's bytes followed by
// the 59-character shared secret (no separator). The secret is never sent and
// is assembled only for the moment it is hashed. KVX_Device::CreateAuthentication
// builds tokens; the companion-app test double and the device simulator check
// them with KVX_VerifyAuthenticationToken. All functions are safe from any thread.
// libkvx exports the verifier alone, so that a program that plays the app over
// libkvx (the kvx command's simulator) checks tokens with the library's own
// definition.

#include "NptStrings.h"
#include "NptTypes.h"
#include "kvx/kvx_export.h"

// Length of a token and of its parts.
const NPT_Size KVX_AUTH_NONCE_LENGTH = 32;
const NPT_Size KVX_AUTH_DIGEST_LENGTH = 40;
const NPT_Size KVX_AUTH_TOKEN_LENGTH = KVX_AUTH_NONCE_LENGTH + 1 + KVX_AUTH_DIGEST_LENGTH;
const NPT_Size KVX_AUTH_SECRET_LENGTH = 59;

// Replaces `secret` with the shared secret, joined from its five pieces.
// Callers should let it go out of scope as soon as it has been hashed.
void KVX_AssembleSharedSecret(NPT_String& secret);

// Replaces `digest` with the 40 upper-case hex digits of SHA-1 over the
// `nonce_length` bytes of `nonce` followed by the shared secret.
void KVX_ComputeAuthenticationDigest(const char* nonce, NPT_Size nonce_length, NPT_String& digest);

// True exactly when `token` is 73 characters: a 32-digit upper-case hex nonce,
// a comma, and the digest that KVX_ComputeAuthenticationDigest gives for that
// nonce. A null token, another shape or a wrong digest gives false.
KVX_API bool KVX_VerifyAuthenticationToken(const char* token);
