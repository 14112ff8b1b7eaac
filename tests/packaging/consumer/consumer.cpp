// The C interface from C++: the header's declarations are extern "C".
#include <kvx/kvx.h>

#include <iostream>
#include <string>

int main() {
  const std::string version = kvx_version();
  std::cout << version << "\n";
  return version.empty() ? 1 : 0;
}
