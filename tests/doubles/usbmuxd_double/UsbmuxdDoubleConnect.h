#pragma once
// The double's tunnel: a connection to 127.0.0.1:port, handed over
// non-blocking as the real library hands its descriptors over. The
// descriptor, or a negative errno value on failure.

#include <stdint.h>

int kvx_double_connect_loopback(uint16_t port);
