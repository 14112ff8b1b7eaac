#pragma once
// The file names under which the usbmux client library is looked for, most
// recent first; the first that loads wins. One list per platform
// (transport/<platform>/KvxUSBMuxLibraryNames.cpp), chosen by the build.

#include "NptTypes.h"

extern const char* const kKvxUSBMuxLibraryNames[];
extern const NPT_Cardinal kKvxUSBMuxLibraryNameCount;
