// The simulator's default token check: the library's verifier, so that the
// double and the client share exactly one definition of a valid token.
#include <string>

#include "KvxAuthentication.h"

namespace kvx_sim {

bool VerifyTokenWithLibrary(const std::string& token) {
  return KVX_VerifyAuthenticationToken(token.c_str());
}

}  // namespace kvx_sim
