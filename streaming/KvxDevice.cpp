// KVX_Device. CreateAuthentication lives in KvxAuthentication.cpp beside the
// shared secret it uses.

#include "KvxDevice.h"
