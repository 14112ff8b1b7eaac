#pragma once
// What went wrong, in the words the commands print: result codes, HTTP
// answers, how a device stream ended, and whether discovery can reach the
// USB daemon at all.

#include "KvxDevice.h"
#include "KvxUSBController.h"

#include <string>

namespace kvx_cli {

// A result code in words: "connection refused", "timed out", an error number
// of the usbmux library as the system says it ("no such file or directory"),
// else the code's name.
std::string DescribeResult(NPT_Result result);

// "HTTP 404 Not Found" (the reason phrase for the usual codes, else none).
std::string DescribeStatus(int status);

// Whether the app accepted the stream: status 200 with a multipart
// content type (a run that got OnConnection may still have been refused by
// the content type).
bool IsImageStream(const KVX_DeviceOutcome& outcome);

// Why a stream that never delivered frames could not start: "connection
// refused", "HTTP 404 Not Found", "authentication refused (HTTP 403)", "not
// an image stream (text/html)", ...
std::string DescribeRefusal(const KVX_DeviceOutcome& outcome);

// Why a stream that was accepted ended: "the app ended the stream", "no data
// for 30 s", "connection reset", "malformed stream (...)".
std::string DescribeEnd(const KVX_DeviceOutcome& outcome);

// Waits until `controller` has checked the daemon (a few seconds at most: a
// silent daemon takes the client library 5 s), then "" when the daemon was
// reached (or the wait was interrupted), else one line saying what is wrong
// and how to change it.
std::string DaemonProblem(const KVX_USBController& controller);

}  // namespace kvx_cli
