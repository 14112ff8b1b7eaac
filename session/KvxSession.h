#pragma once
// KVX_Session: follows one companion app for as long as the host holds it,
// streaming from it whenever it is there.
//
// A session runs its own discovery controller and, while the app it follows
// is present, one device stream at a time over that app's tunnel URLs (in the
// order discovery found them, each tried in turn). When the device is
// detached, the app is removed, the stream ends or the daemon goes away, the
// session waits and resumes as soon as discovery finds the same device's app
// again, under whatever handle it then has. It is built from a controller and
// device streams; nothing under them changes.
//
// Which app: the device identifier (the host of the app's URLs, exact) or the
// device name the app reports (ASCII letter case ignored) given at
// construction, or, when none is given, the first app found. The first app
// that matches binds the session to its device identifier for good: another
// device whose app has the same name is never taken, even while the bound one
// is away.
//
// Retries: when the app is present but no stream can be made, the session
// tries again after 0.25 s, doubling up to 2 s (back to 0.25 s after a stream
// that delivered a frame, and at once when discovery finds the app again). An
// app that answers with an error status (404, 403, ...) is reported as
// refused and not asked again until discovery finds it again.
//
// Threads:
// - the owner's thread: constructor, SetDelegate, SetListener, Start, Abort,
//   GetStatus (any thread) and the destructor;
// - the session's worker: discovery bookkeeping, starting and ending device
//   streams, and most state reports;
// - the current device stream's worker: frames (the delegate's OnNewImage)
//   and the report that streaming has begun.
// Reports and frames of one session never run at the same time: a report is
// never made while a frame is being delivered and the other way round. No
// lock of the session is held while they run, except the one that keeps them
// apart. From inside them the host may call Abort and GetStatus, but must not
// destroy the session (the destructor waits for the very thread).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KvxDevice.h"
#include "KvxUSBController.h"
#include "NptResults.h"
#include "NptStrings.h"
#include "NptTypes.h"
#include "kvx/kvx_export.h"

enum KVX_SessionState {
  // Not started yet.
  KVX_SESSION_STATE_IDLE = 0,
  // Waiting for the app to be found for the first time (also while the first
  // attempts to stream from it fail).
  KVX_SESSION_STATE_SEARCHING = 1,
  // A stream runs: frames come.
  KVX_SESSION_STATE_STREAMING = 2,
  // A stream ran and the session waits to resume (see the reason).
  KVX_SESSION_STATE_RECONNECTING = 3,
  // Aborted: nothing further happens. Final.
  KVX_SESSION_STATE_ENDED = 4,
};

// Why the session is reconnecting (or searching, for a refusal), or ended.
// While it waits, what it learns may refine the reason: a detach whose cause
// turns out to be the daemon going away becomes "daemon lost".
enum KVX_SessionReason {
  KVX_SESSION_REASON_NONE = 0,
  // The device is no longer attached.
  KVX_SESSION_REASON_DETACHED = 1,
  // The device is attached but discovery reports the app gone.
  KVX_SESSION_REASON_REMOVED = 2,
  // The stream ended (or could not be made) while the app was still present.
  KVX_SESSION_REASON_STREAM_ENDED = 3,
  // The USB daemon cannot be reached.
  KVX_SESSION_REASON_DAEMON_LOST = 4,
  // The app answered with an error status (in the status's http_status).
  KVX_SESSION_REASON_REFUSED = 5,
  // Abort was called (with KVX_SESSION_STATE_ENDED).
  KVX_SESSION_REASON_ABORTED = 6,
};

// A session's state as last reported.
struct KVX_SessionStatus {
  KVX_SessionState state = KVX_SESSION_STATE_IDLE;
  KVX_SessionReason reason = KVX_SESSION_REASON_NONE;
  // Streaming: the URL streamed from and the device's usbmux handle. Later,
  // those of the last stream (empty and 0 before the first).
  NPT_String url;
  NPT_Int32 handle = 0;
  // The device the session keeps to, and its app's name, once found.
  NPT_String identifier;
  NPT_String name;
  // Refused: the status the app answered with; otherwise 0.
  int http_status = 0;
  // Streams that delivered a frame, this one included.
  NPT_UInt32 streams = 0;
};

// Hears a session's state changes. Not owned by the session.
class KVX_API KVX_SessionListener {
 public:
  virtual ~KVX_SessionListener() {}
  // The state, reason, URL, handle or status changed to `status` (valid
  // during the call). See the threads above.
  virtual void OnSessionState(const KVX_SessionStatus& status) = 0;
};

class KVX_API KVX_Session {
 public:
  // `device`: an identifier or a device name (null or empty: the first app
  // found); `client_name` goes in every stream's "X-LUMOX-CLIENT" (null reads
  // as empty). Nothing runs until Start.
  KVX_Session(const char* device, const char* client_name);
  // Aborts, then waits for the worker, which ends the stream and discovery;
  // no callback runs afterwards. Not from inside the session's callbacks.
  ~KVX_Session();
  KVX_Session(const KVX_Session&) = delete;
  KVX_Session& operator=(const KVX_Session&) = delete;

  // Frames go to `frames->OnNewImage`, the same callback a device stream
  // uses, across every resume (its OnConnection and OnDisconnection are not
  // called). Set both before Start; neither is owned.
  void SetDelegate(KVX_DeviceDelegate* frames) { m_Frames = frames; }
  void SetListener(KVX_SessionListener* listener) { m_Listener = listener; }

  // Starts the worker (discovery begins there, so this never blocks on the
  // daemon). NPT_SUCCESS; NPT_ERROR_INVALID_STATE when called before (also
  // after an Abort); NPT_FAILURE when no thread could be created.
  NPT_Result Start();
  // Ends the session: frames stop (one being delivered finishes), the stream
  // and discovery are told to stop, and the worker reports ENDED (aborted)
  // as the last thing it does. Never waits; any thread, the callbacks
  // included. Later calls do nothing.
  void Abort();

  // The state as last reported. Any thread.
  void GetStatus(KVX_SessionStatus& status) const;

  // How every stream of the session hands frames over (KVX_DeliveryMode, as
  // a device stream's SetDelivery); before Start only:
  // NPT_ERROR_INVALID_STATE afterwards (the mode stays),
  // NPT_ERROR_INVALID_PARAMETERS for an unknown mode.
  NPT_Result SetDelivery(KVX_DeliveryMode mode);
  // The frame counters of every stream so far, summed across resumes (a
  // device stream's GetStats for each). Any thread, the callbacks included,
  // until the destructor.
  void GetStats(KVX_DeviceStats& stats) const;

 private:
  // What the worker learns, in the order it happened.
  struct Event {
    enum Kind { kFound, kRemoved, kDaemonState, kAttached, kDetached, kStreamEnded } kind;
    std::string name;
    NPT_Int32 handle;  // kFound; the controller state for kDaemonState
    std::string text;  // kFound, kRemoved: the URL; kAttached, kDetached: the identifier
  };
  // An app discovery reports present.
  struct App {
    std::string url;
    std::string name;
    NPT_Int32 handle;
    std::string identifier;
  };
  class Discovery;
  class Stream;
  friend class Discovery;
  friend class Stream;

  void Run();
  // From discovery's and the streams' threads: queues and wakes the worker.
  void Post(Event&& event);
  // The worker's steps (no lock held).
  bool Matches(const App& app) const;
  void Apply(const Event& event);
  void Decide();
  KVX_SessionReason Classify() const;
  std::vector<App> BoundApps() const;
  void StartStream(size_t index);
  void EndStream();
  // Reports a change of state (any thread but a stream's worker).
  void ReportChange(KVX_SessionState state, KVX_SessionReason reason, int http_status = 0);
  // Makes `status` the current one and tells the listener when its state,
  // reason, URL, handle or status differ from the last; m_ReportLock held.
  void ReportLocked(const KVX_SessionStatus& status);
  // On the stream's worker.
  void OnStreamFrame(Stream* stream, const NPT_Byte* data, NPT_UInt64 size, const char* content_type);

  static void OnMuxEvent(const usbmuxd_event_t* event, void* user_data);

  const std::string m_Device;
  const std::string m_ClientName;
  KVX_DeviceDelegate* m_Frames = nullptr;
  KVX_SessionListener* m_Listener = nullptr;

  std::atomic<int> m_Delivery{KVX_DEVICE_EVERY_FRAME};
  std::atomic<bool> m_Started{false};
  std::atomic<bool> m_Aborted{false};
  std::thread m_Worker;

  // Guards m_Queue; m_Wakeup is signalled for every event and for Abort.
  std::mutex m_Lock;
  std::condition_variable m_Wakeup;
  std::deque<Event> m_Queue;

  // Keeps reports and frames apart.
  std::mutex m_ReportLock;
  mutable std::mutex m_StatusLock;
  KVX_SessionStatus m_Status;

  // --- the worker's own (the current stream is also reached by Abort under
  // m_StreamLock) ---
  std::unique_ptr<Discovery> m_Discovery;
  std::vector<App> m_Present;                // in the order found
  std::vector<std::string> m_Attached;       // device identifiers
  std::string m_Bound;                       // the followed device, once found
  int m_DaemonState = KVX_USB_STARTING;
  std::mutex m_StreamLock;
  std::unique_ptr<Stream> m_Stream;
  // Guards the counters of the streams that ended and the one stream not yet
  // added to them (which lives until it is).
  mutable std::mutex m_StatsLock;
  KVX_DeviceStats m_EndedStats;
  Stream* m_Counted = nullptr;
  size_t m_UrlIndex = 0;                     // of the stream, in BoundApps()
  bool m_StreamedOnce = false;
  bool m_Refused = false;                    // until the app is found again
  int m_RefusedStatus = 0;
  bool m_AnyErrorStatus = false;             // in this round over the URLs
  int m_BackoffMs = 250;                     // the next retry pause
  bool m_Waiting = false;                    // retry at m_RetryAt
  bool m_Deciding = false;                   // a stream ended: say why at m_RetryAt
  std::chrono::steady_clock::time_point m_RetryAt;
};
