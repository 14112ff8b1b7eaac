// Linux: the sonames of the distribution's usbmux client library.
#include "KvxUSBMuxLibraryNames.h"

const char* const kKvxUSBMuxLibraryNames[] = {"libusbmuxd-2.0.so.6", "libusbmuxd.so.6", "libusbmuxd.so.4"};
const NPT_Cardinal kKvxUSBMuxLibraryNameCount = NPT_ARRAY_SIZE(kKvxUSBMuxLibraryNames);
const char kKvxUSBMuxDefaultAddress[] = "UNIX:/var/run/usbmuxd";
