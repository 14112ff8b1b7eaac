#pragma once
// KVX_Device: one image stream from one device, and the request operations
// every HTTP exchange with the companion app goes through.
//
// A device stream owns a worker thread, the URLs to try and an HTTP client.
// Start runs one pass on the worker: the URLs are tried in order with an
// authenticated GET until one answers 200; the delegate then gets
// OnConnection, one OnNewImage per frame of the multipart/x-mixed-replace
// body, and OnDisconnection when the stream ends without having been aborted.
// A device stream never reconnects and runs at most once.
//
// Threads: Run and every delegate callback execute on the worker (in
// latest-frame delivery the body is read on a second thread the run starts
// and joins). Start, Abort, SetDelegate,
// SetDelivery and the destructor belong to the owner's thread; GetStats and
// GetOutcome may be called from any thread. The
// delegate must be set before Start and stay valid until the destructor has
// returned. The core does not log.

#include <atomic>

#include "KvxEventQueue.h"
#include "NptHttp.h"
#include "NptList.h"
#include "NptResults.h"
#include "NptStreams.h"
#include "NptStrings.h"
#include "NptThreads.h"
#include "NptTypes.h"
#include "NptUri.h"
#include "kvx/kvx_export.h"

// Callbacks of a device stream, all on its worker thread. Every body is empty
// by default. Not owned by the device stream.
class KVX_API KVX_DeviceDelegate {
 public:
  virtual ~KVX_DeviceDelegate() {}
  // One complete frame. `data` and `content_type` are valid only during the
  // call: the frame store is emptied and refilled for the next frame, so keep
  // a copy of whatever outlives the call. `content_type` is the part's own
  // value, trimmed, in the letter case the app sent.
  virtual void OnNewImage(const NPT_Byte* data, NPT_UInt64 size, const char* content_type) {
    (void)data;
    (void)size;
    (void)content_type;
  }
  // Once per run, when a URL was accepted, before any frame.
  virtual void OnConnection() {}
  // Once, at the end of a run that was not aborted (also when no URL answered).
  virtual void OnDisconnection() {}
};

// How a device stream's run went: while it runs, how far it got; once it has
// ended, why. Each run starts from the defaults below.
//
//   the run ...                          result                      status  content type
//   has not started, or is connecting    NPT_SUCCESS                 0       ""
//   streams                              NPT_SUCCESS                 200     the response's
//   reached no URL                       why the last URL could not  0       ""
//                                        be reached (below)
//   got an answer other than 200         NPT_RESULT_FAILURE          it      the response's
//   got a 200 that is no multipart       NPT_ERROR_INVALID_PARAMETERS 200    the response's
//     stream (ExtractBoundary)
//   read the body until it ended         ReadBody's result: NPT_ERROR_EOS when the app
//                                        closed the stream or the connection; a read
//                                        failure (NPT_ERROR_TIMEOUT after 30 s without
//                                        data, NPT_ERROR_CONNECTION_RESET, ...) or a
//                                        layout error (NPT_ERROR_INVALID_SYNTAX, ...)
//   was aborted                          NPT_ERROR_CANCELLED         as it was
//
// With several URLs, status and content type are those of the last response
// received and result that of the last URL tried. A URL is not reached when
// its connection could not be opened: NPT_ERROR_CONNECTION_REFUSED,
// NPT_ERROR_TIMEOUT, NPT_ERROR_HOST_UNKNOWN (TCP), or the usbmux library's
// error number as -(22000 + errno) (a tunnel: refused by the device's port,
// device not attached, daemon unreachable), or the send's own failure.
struct KVX_DeviceOutcome {
  // The run is over: no callback of it follows (OnDisconnection, when there
  // is one, is made after this is set).
  bool ended = false;
  NPT_Result result = NPT_SUCCESS;
  // The status code of the last response received; 0 when none was.
  int http_status = 0;
  // Its "Content-Type" as sent; empty when none was.
  NPT_String content_type;
};

// How a device stream hands frames to its delegate (KVX_Device::SetDelivery).
enum KVX_DeliveryMode {
  // Every frame, in order; the stream is read on only after OnNewImage has
  // returned, so a slow delegate slows the stream. The default.
  KVX_DEVICE_EVERY_FRAME = 0,
  // The stream is read on a second thread of the run while OnNewImage runs;
  // each OnNewImage gets the newest complete frame, and a frame replaced by a
  // newer one before it could be handed over is dropped (counted). Frames stay
  // whole and in stream order; the last frame of a stream that ends by itself
  // is handed over before OnDisconnection. Costs one copy of each frame and
  // two buffers of the largest frame.
  KVX_DEVICE_LATEST_FRAME = 1,
};

// Frame counters of a device stream (KVX_Device::GetStats). For a stream that
// ended by itself, frames_received = frames_delivered + frames_dropped; the
// difference is otherwise the frames read while no delegate was set, or left
// undelivered by an abort (in latest-frame delivery, at most one).
struct KVX_DeviceStats {
  // Complete frames read from the stream.
  NPT_UInt64 frames_received = 0;
  // Frames handed to OnNewImage (counted as the call starts).
  NPT_UInt64 frames_delivered = 0;
  // Complete frames replaced by a newer one before they could be handed
  // over (latest-frame delivery only; also a frame there was no memory to
  // keep).
  NPT_UInt64 frames_dropped = 0;
  // Body bytes of the complete frames read.
  NPT_UInt64 bytes_received = 0;
};

class KVX_FrameHandOver;

class KVX_API KVX_Device : public NPT_Thread {
 public:
  // Value of the "Accept" header of every request to the companion app.
  static const char* const AcceptedTypes;

  // Copies `urls` (tried in list order). The thread is created, not started;
  // no delegate; the client has no connector of ours until the first request.
  KVX_Device(const NPT_List<NPT_HttpUrl>& urls, NPT_Int32 device_handle);
  // Sets the aborted flag, aborts the client and waits without limit for the
  // worker (at once for a thread never started), then releases everything.
  ~KVX_Device() override;
  KVX_Device(const KVX_Device&) = delete;
  KVX_Device& operator=(const KVX_Device&) = delete;

  // Clears the aborted flag (first call only), copies `client_name` (null
  // reads as empty) and starts the worker. The thread's start result:
  // NPT_ERROR_INVALID_STATE on a second call, and then nothing runs again.
  NPT_Result Start(const char* client_name);
  // Sets the aborted flag, then aborts the client's current connection (a
  // connect or read in progress ends promptly). No callback follows the
  // check points that see the flag. Any thread; never blocks on the worker.
  void Abort();

  // How frames reach the delegate (KVX_DeliveryMode); before Start only:
  // NPT_ERROR_INVALID_STATE once Start was called (the mode stays),
  // NPT_ERROR_INVALID_PARAMETERS for an unknown mode.
  NPT_Result SetDelivery(KVX_DeliveryMode mode);
  KVX_DeliveryMode GetDelivery() const { return static_cast<KVX_DeliveryMode>(m_Delivery.load()); }

  // The frame counters so far, one consistent snapshot. Any thread, at any
  // time until the destructor (also after the run ended).
  void GetStats(KVX_DeviceStats& stats) const;

  // During OnNewImage, on the thread that runs it: the frame's number in the
  // stream, from 0 in the order the app sent the frames (frames dropped in
  // latest-frame delivery leave gaps). Otherwise, that of the frame handed
  // over last.
  NPT_UInt64 GetFrameNumber() const { return m_FrameNumber.load(std::memory_order_relaxed); }

  void SetDelegate(KVX_DeviceDelegate* delegate) { m_Delegate = delegate; }
  KVX_DeviceDelegate* GetDelegate() const { return m_Delegate; }

  // How the run went so far (see KVX_DeviceOutcome); once `ended`, the final
  // values, kept until the destructor. Any thread, the delegate's callbacks
  // included.
  void GetOutcome(KVX_DeviceOutcome& outcome) const;

  // Pushes a copy onto the device stream's event queue (limits 1000 and 100);
  // the queue's result.
  NPT_Result AddEvent(const KVX_Event& event);

  // Whether the connection that carried `message` (a response) stays open:
  // "HTTP/1.0" only with "Connection: keep-alive", "HTTP/1.1" unless
  // "Connection: close" (values and protocol in any letter case), any other
  // protocol never.
  static bool IsConnectionKeepAlive(const NPT_HttpMessage& message);

  // --- the multipart reader (KvxMultipartReader.cpp) ---

  // Splits `line` at every `separator` (empty pieces count) and returns the
  // first two pieces. NPT_ERROR_INVALID_PARAMETERS, outputs untouched, when
  // there are fewer than two.
  static NPT_Result ExtractParts(NPT_String line, const char* separator, NPT_String& first, NPT_String& second);
  // Takes the boundary out of a "multipart/x-mixed-replace; boundary=..."
  // content type: the parameter must come first; the value is not unquoted,
  // its leading and trailing "-" are removed. NPT_ERROR_INVALID_PARAMETERS for
  // any other content type (`boundary` then holds nothing usable).
  static NPT_Result ExtractBoundary(const NPT_HttpEntity& entity, NPT_String& boundary);
  // Reads parts from `stream` until it ends, fails, breaks the part layout or
  // the aborted flag is seen, and hands every frame to the delegate (when one
  // is set). Never returns success: NPT_ERROR_EOS for the closing delimiter or
  // an abort, otherwise the failure that ended the stream (see the .cpp).
  NPT_Result ReadBody(const NPT_InputStreamReference& stream, const NPT_String& boundary);

  // --- request operations (KvxDeviceRequests.cpp; no device stream involved) ---
  //
  // `aborted` (may be null: never aborted) is only read: a connection that
  // could not be opened is retried once, on a fresh connector, unless it is
  // set. `client_name` null sends no "X-LUMOX-CLIENT" header; an empty one
  // sends it empty. The caller owns whatever `response` holds afterwards.

  // Adds "X-LUMOX-AUTH", "Accept" and "X-LUMOX-CLIENT" (replacing any
  // earlier value) to the caller's request and sends it with the caller's
  // client and configuration. The client's result; on
  // NPT_ERROR_INVALID_PARAMETERS (no connection) one more attempt on a new
  // KVX_HttpTcpConnector for `device_handle`, whose result is returned.
  static NPT_Result SendRequest(NPT_HttpRequest& request, NPT_HttpClient& client, NPT_HttpResponse** response,
                                const std::atomic<bool>* aborted, NPT_Int32 device_handle,
                                const char* client_name);
  // Builds a "GET" "HTTP/1.0" request for `url`, sets the client's timeouts
  // (connection 1000 ms, input/output 30000 ms, name resolution 30000 ms) and
  // sends it as above. `*response` is reset first.
  static NPT_Result SendRequest(NPT_HttpUrl url, NPT_HttpClient& client, NPT_HttpResponse** response,
                                const std::atomic<bool>* aborted, NPT_Int32 device_handle,
                                const char* client_name);
  // Tries the URLs in order, each on a fresh connector, until a response with
  // status 200 and an entity arrives: then 0 with that response in
  // `*response`. NPT_RESULT_FAILURE when the list is exhausted (at once when
  // empty) or `aborted` is seen before a URL; responses of refused URLs are
  // destroyed.
  static NPT_Result SendRequest(const NPT_List<NPT_HttpUrl>& urls, NPT_HttpClient& client,
                                NPT_HttpResponse** response, const std::atomic<bool>* aborted,
                                NPT_Int32 device_handle, const char* client_name);

  // Replaces `token` with a fresh token: 32 upper-case hex digits of random
  // nonce, ",", then the 40 upper-case hex digits of SHA-1 over the nonce
  // followed by the shared secret (73 characters in all). Every call draws a
  // new nonce. Always returns NPT_SUCCESS. Safe from any thread.
  static NPT_Result CreateAuthentication(NPT_String& token);

 protected:
  // The worker's single pass.
  void Run() override;

 private:
  // The request operations with an optional lock that every connector
  // replacement on `client` is made under, so that an Abort from another
  // thread never reaches a connector being deleted.
  static NPT_Result SendRequestLocked(NPT_HttpRequest& request, NPT_HttpClient& client,
                                      NPT_HttpResponse** response, const std::atomic<bool>* aborted,
                                      NPT_Int32 device_handle, const char* client_name, NPT_Mutex* lock);
  static NPT_Result SendUrlLocked(const NPT_HttpUrl& url, NPT_HttpClient& client, NPT_HttpResponse** response,
                                  const std::atomic<bool>* aborted, NPT_Int32 device_handle,
                                  const char* client_name, NPT_Mutex* lock);
  // With `outcome`, each URL's attempt is recorded in it (status, content
  // type, and the result as KVX_DeviceOutcome describes it).
  static NPT_Result SendListLocked(const NPT_List<NPT_HttpUrl>& urls, NPT_HttpClient& client,
                                   NPT_HttpResponse** response, const std::atomic<bool>* aborted,
                                   NPT_Int32 device_handle, const char* client_name, NPT_Mutex* lock,
                                   KVX_DeviceOutcome* outcome = nullptr);
  // Where the reader hands each complete frame (the thread running ReadBody):
  // the one place that decides how a frame reaches the delegate. `data` is
  // valid only during the call.
  void HandFrame(const NPT_Byte* data, NPT_UInt64 size, const char* content_type);
  // Calls OnNewImage unless there is no delegate or the run is aborted.
  void Deliver(const NPT_Byte* data, NPT_UInt64 size, const char* content_type, NPT_UInt64 number);
  // ReadBody in the run's delivery mode: in latest-frame delivery on a
  // thread of its own while this (the worker) hands the frames over. Its
  // result either way.
  NPT_Result ReadFrames(const NPT_InputStreamReference& stream, const NPT_String& boundary);
  // Makes `outcome` what GetOutcome reports (worker thread).
  void PublishOutcome(const KVX_DeviceOutcome& outcome);
  // A new connector bound to `aborted` (see KVX_HttpTcpConnector), so that
  // one installed after an Abort fails at once.
  static void InstallConnector(NPT_HttpClient& client, NPT_Int32 device_handle, NPT_Mutex* lock,
                               const std::atomic<bool>* aborted = nullptr);

  NPT_Int32 m_DeviceHandle;
  NPT_String m_ClientName;
  NPT_List<NPT_HttpUrl> m_Urls;
  // Written by the owner's thread, polled by the worker.
  std::atomic<bool> m_Aborted;
  // Set by the first Start.
  std::atomic<bool> m_Started;
  KVX_DeviceDelegate* m_Delegate;
  NPT_HttpClient m_Client;
  // Held while the worker replaces the client's connector and while Abort
  // reaches it.
  NPT_Mutex m_ConnectorLock;
  KVX_EventQueue m_Events;
  // Guards m_Outcome, written by the worker and read from any thread.
  mutable NPT_Mutex m_OutcomeLock;
  KVX_DeviceOutcome m_Outcome;
  // A KVX_DeliveryMode; read once by the run.
  std::atomic<int> m_Delivery;
  // Guards m_Stats, written by the reader and the worker, read anywhere.
  mutable NPT_Mutex m_StatsLock;
  KVX_DeviceStats m_Stats;
  std::atomic<NPT_UInt64> m_FrameNumber;
  // The run's hand-over while its reader runs on its own thread, for Abort.
  NPT_Mutex m_HandOverLock;
  KVX_FrameHandOver* m_HandOver;
};
