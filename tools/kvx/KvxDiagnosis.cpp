#include "KvxDiagnosis.h"

#include "KvxCli.h"
#include "kvx/kvx.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace kvx_cli {
namespace {

// How long a command waits for the first check of the daemon.
constexpr double kDaemonCheckSeconds = 7;

}  // namespace

std::string DescribeResult(NPT_Result result) {
  switch (result) {
    case NPT_ERROR_CONNECTION_REFUSED:
      return "connection refused";
    case NPT_ERROR_TIMEOUT:
      return "timed out";
    case NPT_ERROR_HOST_UNKNOWN:
      return "unknown host";
    case NPT_ERROR_CONNECTION_RESET:
      return "connection reset";
    case NPT_ERROR_CONNECTION_ABORTED:
      return "connection aborted";
    case NPT_ERROR_NETWORK_UNREACHABLE:
      return "network unreachable";
    case NPT_ERROR_EOS:
      return "end of stream";
    case NPT_ERROR_CANCELLED:
      return "stopped";
    default:
      break;
  }
  if (result < NPT_ERROR_BASE_ERRNO && result > NPT_ERROR_BASE_ERRNO - 1000) {
    const int number = NPT_ERROR_BASE_ERRNO - result;
    // What the usbmux client library leaves when a TCP connect fails.
    if (number == EINPROGRESS) return "could not connect";
    std::string text = std::strerror(number);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
  }
  return kvx_result_name(result);
}

std::string DescribeStatus(int status) {
  static const struct {
    int status;
    const char* reason;
  } kReasons[] = {{400, "Bad Request"},      {401, "Unauthorized"},         {403, "Forbidden"},
                  {404, "Not Found"},        {405, "Method Not Allowed"},   {500, "Internal Server Error"},
                  {502, "Bad Gateway"},      {503, "Service Unavailable"}};
  std::string text = "HTTP " + std::to_string(status);
  for (const auto& known : kReasons) {
    if (known.status == status) text += std::string(" ") + known.reason;
  }
  return text;
}

bool IsImageStream(const KVX_DeviceOutcome& outcome) {
  static const char kMultipart[] = "multipart/x-mixed-replace";
  std::string type = outcome.content_type.GetChars();
  type = type.substr(0, sizeof(kMultipart) - 1);
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return outcome.http_status == 200 && type == kMultipart;
}

std::string DescribeRefusal(const KVX_DeviceOutcome& outcome) {
  if (outcome.http_status == 401 || outcome.http_status == 403) {
    return "authentication refused (HTTP " + std::to_string(outcome.http_status) + ")";
  }
  if (outcome.http_status != 0 && outcome.http_status != 200) return DescribeStatus(outcome.http_status);
  if (outcome.http_status == 200) {
    return "not an image stream (" +
           (outcome.content_type.IsEmpty() ? std::string("no content type") : std::string(outcome.content_type)) +
           ")";
  }
  return DescribeResult(outcome.result);
}

std::string DescribeEnd(const KVX_DeviceOutcome& outcome) {
  switch (outcome.result) {
    case NPT_ERROR_EOS:
      return "the app ended the stream";
    case NPT_ERROR_TIMEOUT:
      return "no data for 30 s";
    case NPT_ERROR_INVALID_SYNTAX:
    case NPT_ERROR_INVALID_PARAMETERS:
    case NPT_ERROR_OVERFLOW:
    case NPT_ERROR_OUT_OF_RANGE:
    case NPT_ERROR_NOT_ENOUGH_SPACE:
      return std::string("malformed stream (") + kvx_result_name(outcome.result) + ")";
    default:
      return DescribeResult(outcome.result);
  }
}

std::string DaemonProblem(const KVX_USBController& controller) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(kDaemonCheckSeconds * 1000));
  while (controller.GetState() == KVX_USB_STARTING && std::chrono::steady_clock::now() < deadline &&
         !g_Interrupted.load(std::memory_order_acquire)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::string address = controller.GetDaemonAddress().GetChars();
  switch (controller.GetState()) {
    case KVX_USB_NO_LIBRARY:
      return "the usbmux client library (libusbmuxd-2.0.so.6, Debian package libusbmuxd6) is not installed";
    case KVX_USB_DAEMON_UNREACHABLE:
      return "cannot reach the USB daemon at " + address + " (" + DescribeResult(controller.GetDaemonFailure()) +
             "); start usbmuxd, or set USBMUXD_SOCKET_ADDRESS to where it listens";
    case KVX_USB_STARTING:
      return g_Interrupted.load() ? "" : "the USB daemon at " + address + " did not answer";
    default:
      return "";
  }
}

}  // namespace kvx_cli
