/* kvx.h: the C interface of libkvx.
 *
 * The supported way for programs not written in C++ (the .NET assembly,
 * Python ctypes, Rust, Go, ...) to find companion apps on devices attached
 * over USB and to stream images from them. Plain C types only; texts are
 * NUL-terminated UTF-8.
 *
 * Handles are opaque. Every function accepts a null handle and then does
 * nothing (or returns null / a failure code); none of them throws or aborts.
 *
 * Callbacks run on threads the library owns and joins when the object is
 * destroyed, never on the caller's and never on a thread of the usbmux client
 * library (whose event thread lives as long as the process):
 * - a device's on_frame and on_disconnected run on that device's worker;
 * - a controller's on_found and on_removed all run on that controller's
 *   dispatcher thread, one at a time, in the order the events happened
 *   (discovery and usbmux detach events are queued for it).
 * A callback's texts and frame bytes are valid only during the call: copy
 * what must outlive it. Calls are sequential per object; a slow device
 * callback slows its stream (unless it asked for the latest frame only,
 * kvx_device_set_delivery), a slow controller callback delays the
 * controller's later notifications (discovery itself goes on). Callbacks may
 * be null.
 *
 * From inside a callback an object may be asked to abort (a device only:
 * kvx_device_abort never waits), but not to be destroyed, and a controller
 * may not be aborted: those wait for the thread that runs the callback. Such a
 * call is refused and does nothing (the object stays usable and must be
 * destroyed later from another thread).
 *
 * Results are the library's signed 32-bit codes: 0 is success, negative
 * values are failures; kvx_result_name gives their names.
 */
#ifndef KVX_KVX_H
#define KVX_KVX_H

#include <stdint.h>

/* KVX_API: exported from libkvx (dllexport while libkvx is built on Windows,
 * dllimport for its users there). */
#include "kvx_export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kvx_device kvx_device;
typedef struct kvx_controller kvx_controller;

/* One complete frame: `size` bytes at `data`, of type `content_type`
 * ("image/jpeg", "image/rgb", "image/rgba", as the app sent it). */
typedef void (*kvx_frame_callback)(void* context, const unsigned char* data, uint64_t size,
                                   const char* content_type);
/* The stream ended without having been aborted (also when no URL answered).
 * At most once per device, after its last frame. */
typedef void (*kvx_disconnected_callback)(void* context);
/* An app answered: `name` is the device name it sent, `handle` the device's
 * usbmux handle (what kvx_device_create needs), `url` the app's URL. */
typedef void (*kvx_found_callback)(void* context, const char* name, int32_t handle, const char* url);
/* The app at `url` is gone (device detached, or four failed probes in a row).
 * On a detach it comes for every watched port, so it may name a URL that was
 * never reported as found. */
typedef void (*kvx_removed_callback)(void* context, const char* url);

/* A device stream over `urls` (tried in order; `url_count` entries, none of
 * them null-checked as URLs: an unparsable one simply fails when tried) for
 * the device with usbmux `handle` (0: plain TCP to the URLs' hosts). Idle
 * until kvx_device_start. Null when it cannot be created (negative count,
 * null array with a positive count, out of memory). */
KVX_API kvx_device* kvx_device_create(const char* const* urls, int32_t url_count, int32_t handle);
/* Replaces the callbacks and their context; call it before kvx_device_start.
 * Calls already in progress finish with the old ones. */
KVX_API void kvx_device_set_callbacks(kvx_device* device, kvx_frame_callback on_frame,
                                      kvx_disconnected_callback on_disconnected, void* context);
/* Starts the single stream run with `client_name` (null reads as empty) in its
 * "X-LUMOX-CLIENT" header. 0, or the thread's refusal on a second call (no
 * second run starts). A failure code for a null device. */
KVX_API int32_t kvx_device_start(kvx_device* device, const char* client_name);
/* Asks the run to stop: frames stop promptly and no on_disconnected follows.
 * Never waits for the worker; any thread, callbacks included. */
KVX_API void kvx_device_abort(kvx_device* device);
/* Stops the run, waits for its worker without a time limit (no callback runs
 * afterwards) and releases everything. Refused from the device's own
 * callbacks. */
KVX_API void kvx_device_destroy(kvx_device* device);

/* Why a device's stream ended: final once kvx_device_has_ended says 1 (it does
 * before on_disconnected is called, and once an aborted run is over); while
 * the run goes on, how far it got. Any thread, callbacks included, until
 * kvx_device_destroy. A null device reads as a run that never started.
 *
 * kvx_device_get_last_result:
 *   0         not started, connecting, or streaming
 *   when no URL could be reached, why (for the last URL tried):
 *             NPT_ERROR_CONNECTION_REFUSED, NPT_ERROR_TIMEOUT or
 *             NPT_ERROR_HOST_UNKNOWN over TCP; over a tunnel the usbmux
 *             library's error number as -(22000 + errno) (the device's port
 *             refused, the device is not attached, the daemon is unreachable)
 *   -1        (FAILURE) an app answered, but not with status 200
 *   NPT_ERROR_INVALID_PARAMETERS  the 200 answer is no multipart stream
 *   NPT_ERROR_EOS  the app ended the stream or closed the connection
 *   another failure  reading the stream failed: NPT_ERROR_TIMEOUT (30 s
 *             without data), NPT_ERROR_CONNECTION_RESET, a layout error
 *             (NPT_ERROR_INVALID_SYNTAX, ...)
 *   NPT_ERROR_CANCELLED  aborted
 * kvx_result_name names them. kvx_device_get_http_status: the status code of
 * the last answer received, 0 when none was. kvx_device_get_content_type:
 * that answer's "Content-Type" as sent ("" when none), copied into `buffer`
 * as a NUL-terminated text cut to `size` - 1 bytes when longer (nothing is
 * written when `size` is 0 or `buffer` null); returns the text's whole
 * length. */
KVX_API int32_t kvx_device_has_ended(kvx_device* device);
KVX_API int32_t kvx_device_get_last_result(kvx_device* device);
KVX_API int32_t kvx_device_get_http_status(kvx_device* device);
KVX_API int32_t kvx_device_get_content_type(kvx_device* device, char* buffer, int32_t size);

/* How a device hands frames to on_frame (kvx_device_set_delivery). */
/* Every frame, in order; the stream is read on only after on_frame has
 * returned, so a slow on_frame slows the stream (and the app behind it). The
 * default. */
#define KVX_DELIVER_EVERY_FRAME 0
/* The stream is read on, on a second thread of the device, while on_frame
 * runs; each on_frame gets the newest complete frame, and a frame replaced by
 * a newer one before it could be handed over is dropped and counted
 * (kvx_device_get_stats). Frames stay whole and in stream order, the last
 * frame of a stream that ended by itself comes before on_disconnected, and
 * on_frame still runs on the device's worker, one call at a time. Costs a copy
 * of each frame and memory for two of the largest frame; once they have grown
 * no memory is allocated per frame. */
#define KVX_DELIVER_LATEST_FRAME 1

/* Chooses how frames reach on_frame (KVX_DELIVER_...); before
 * kvx_device_start only. 0; NPT_ERROR_INVALID_STATE once kvx_device_start
 * was called (the mode stays as it was); NPT_ERROR_INVALID_PARAMETERS for
 * another mode or a null device. */
KVX_API int32_t kvx_device_set_delivery(kvx_device* device, int32_t mode);

/* A device's frame counters (kvx_device_get_stats). New fields are only ever
 * appended. */
typedef struct kvx_device_stats {
  uint32_t struct_size;       /* the caller sets sizeof(kvx_device_stats) */
  uint64_t frames_received;   /* complete frames read from the stream */
  uint64_t frames_delivered;  /* frames handed to the frame callback */
  uint64_t frames_dropped;    /* complete frames replaced by a newer one before delivery */
  uint64_t bytes_received;    /* body bytes of complete frames */
} kvx_device_stats;

/* Copies the device's counters into `stats`, one consistent snapshot: only
 * the fields that lie wholly within the caller's `struct_size` bytes are
 * written (a caller built against an older, shorter struct gets what it
 * knows); struct_size itself is left as it is. For a stream that ended by
 * itself frames_received = frames_delivered + frames_dropped (a frame that
 * came while on_frame was null counts as delivered); after an abort, a frame
 * read but not handed over any more is in neither. 0;
 * NPT_ERROR_INVALID_PARAMETERS for a null device or `stats`, or a
 * struct_size too small to hold frames_received (nothing is written). Any
 * thread, callbacks included, at any time until kvx_device_destroy, also
 * after the stream ended. */
KVX_API int32_t kvx_device_get_stats(kvx_device* device, kvx_device_stats* stats);

/* Inside on_frame, on the thread running it: the number of the frame being
 * handed over in `*number`, from 0 in the order the app sent the frames
 * (frames dropped in KVX_DELIVER_LATEST_FRAME leave gaps). 0;
 * NPT_ERROR_INVALID_STATE outside this device's own on_frame (`*number` is
 * then 0); NPT_ERROR_INVALID_PARAMETERS for a null device or `number`. */
KVX_API int32_t kvx_device_get_frame_number(kvx_device* device, uint64_t* number);

/* A discovery controller: it hears usbmux events and starts probing at once
 * (no kvx_controller_start needed). Without the usbmux client library it runs
 * and finds nothing. Null when it cannot be created. */
KVX_API kvx_controller* kvx_controller_create(void);
/* Replaces the callbacks and their context; takes effect for the next
 * notification delivered (one already queued is delivered with the new ones,
 * or dropped if its callback is now null). The first non-null on_found also
 * hears, once each, every app found before it was set and not removed since
 * (discovery runs from creation). Afterwards, an event that happens while its
 * callback is null is dropped. May be called from inside the callbacks. */
KVX_API void kvx_controller_set_callbacks(kvx_controller* controller, kvx_found_callback on_found,
                                          kvx_removed_callback on_removed, void* context);
/* The worker runs since creation, so this is refused with the thread's
 * "invalid state" code and changes nothing; kept for callers that start
 * explicitly. A failure code for a null controller. */
KVX_API int32_t kvx_controller_start(kvx_controller* controller);
/* Ends discovery: waits for the worker's current pass to finish and for an
 * on_found in progress to return; no on_found runs after it returns (those
 * still queued are discarded). Later calls return at once. Removals already
 * queued, and those for devices detached afterwards, are still delivered
 * until kvx_controller_destroy. Refused from the controller's own callbacks. */
KVX_API void kvx_controller_abort(kvx_controller* controller);
/* Aborts the controller, stops its dispatcher (a callback in progress
 * finishes, notifications still queued are discarded, the dispatcher thread
 * is joined), then releases the controller. No callback runs after it
 * returns, also for usbmux events arriving meanwhile. Refused from the
 * controller's own callbacks (on its dispatcher thread). */
KVX_API void kvx_controller_destroy(kvx_controller* controller);

/* Whether a controller can reach the USB multiplexing daemon, as far as it
 * can tell (kvx_controller_get_state). It checks at once after creation, then
 * before every probe pass (about a second apart) while the daemon is not
 * reached, and every few seconds, or after a detach, while it is. */
/* Not checked yet. */
#define KVX_CONTROLLER_STARTING 0
/* The usbmux client library could not be loaded: no device is ever found.
 * Final. */
#define KVX_CONTROLLER_NO_LIBRARY 1
/* The daemon did not answer at kvx_controller_get_daemon_address (see
 * kvx_controller_get_daemon_error); nothing is found until it does. */
#define KVX_CONTROLLER_DAEMON_UNREACHABLE 2
/* The daemon answered the last check. */
#define KVX_CONTROLLER_CONNECTED 3

/* A controller's state became `state` (KVX_CONTROLLER_...). */
typedef void (*kvx_state_callback)(void* context, int32_t state);

/* Replaces the state callback and its context (null: none). It runs on the
 * controller's dispatcher thread, in order with on_found and on_removed, for
 * every change after it was set; read kvx_controller_get_state afterwards for
 * the state before. May be called from inside the callbacks. */
KVX_API void kvx_controller_set_state_callback(kvx_controller* controller, kvx_state_callback on_state,
                                               void* context);
/* The state as last checked; KVX_CONTROLLER_STARTING for a null controller.
 * Any thread. */
KVX_API int32_t kvx_controller_get_state(kvx_controller* controller);
/* Where the daemon is looked for: USBMUXD_SOCKET_ADDRESS as it was when the
 * controller was created, or the library's default ("UNIX:/var/run/usbmuxd";
 * "127.0.0.1:27015" on Windows), in the form that variable takes. Valid as long as the controller; "" for a
 * null controller. */
KVX_API const char* kvx_controller_get_daemon_address(kvx_controller* controller);
/* While the daemon is unreachable, how the last attempt failed: the usbmux
 * library's error number as -(22000 + errno) (no socket at the address,
 * connection refused, ...), or -1 when the library lacks what the check
 * needs; 0 otherwise. */
KVX_API int32_t kvx_controller_get_daemon_error(kvx_controller* controller);

/* The library's console lines on standard output: "Device attached: pid=..."
 * for every usbmux attach event, and the .NET assembly's progress lines
 * ("Constructing KVXDevice", ...). On by default; 0 turns them off for the
 * whole process (a host's standard output stays its own), anything else
 * turns them on again. Any thread. */
KVX_API void kvx_set_console_output(int32_t enabled);
/* 1 when the console lines are on, else 0. */
KVX_API int32_t kvx_get_console_output(void);

/* Applies a logging configuration on top of the one in force, in the syntax
 * of the NPT_LOG_CONFIG environment variable ("|"-separated pieces
 * "file:PATH", "plist:KEY=VALUE;KEY=VALUE..." and "http:port=N"); every
 * logger of the library is configured again. For example
 * "plist:.level=FINE;.ConsoleHandler.outputs=1" sends the library's records
 * of level FINE and above to standard error. 0; NPT_ERROR_INVALID_PARAMETERS
 * for null. Any thread. */
KVX_API int32_t kvx_configure_logging(const char* sources);

/* The name of a result code ("SUCCESS", "NPT_ERROR_INVALID_STATE", ...);
 * a static text, never null. */
KVX_API const char* kvx_result_name(int32_t result);

/* The library's version, "MAJOR.MINOR.PATCH" (the MAJOR of libkvx's SONAME);
 * a static text, never null. Any thread. */
KVX_API const char* kvx_version(void);

#ifdef __cplusplus
}
#endif

#endif /* KVX_KVX_H */
