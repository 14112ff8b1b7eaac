// Windows: the usbmux client library's DLL, found by the normal DLL search
// (the application's folder first).
#include "KvxUSBMuxLibraryNames.h"

const char* const kKvxUSBMuxLibraryNames[] = {"libusbmuxd.dll"};
const NPT_Cardinal kKvxUSBMuxLibraryNameCount = NPT_ARRAY_SIZE(kKvxUSBMuxLibraryNames);
const char kKvxUSBMuxDefaultAddress[] = "127.0.0.1:27015";
