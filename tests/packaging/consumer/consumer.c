/* Prints the version of the libkvx it runs with. */
#include <stdio.h>

#include <kvx/kvx.h>

int main(void) {
  printf("%s\n", kvx_version());
  return 0;
}
