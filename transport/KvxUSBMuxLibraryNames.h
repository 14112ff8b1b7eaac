#pragma once
// The file names under which the usbmux client library is looked for, most
// recent first (the first that loads wins), and its default daemon address. One list per platform
// (transport/<platform>/KvxUSBMuxLibraryNames.cpp), chosen by the build.

#include "NptTypes.h"

extern const char* const kKvxUSBMuxLibraryNames[];
extern const NPT_Cardinal kKvxUSBMuxLibraryNameCount;
// Where the library looks for the daemon when USBMUXD_SOCKET_ADDRESS is not
// set, in the form that variable takes.
extern const char kKvxUSBMuxDefaultAddress[];
