// KVXSessionWrapper: follow one device, the one thing most applications want.
//
// A KVXSession names a device once (its name as the app reports it, or its
// identifier; null for the first app found) and hands over the frames of its
// app for as long as the session lives: across unplug and replug, the app
// restarting on the device and the USB daemon restarting, it waits and
// resumes by itself, under whatever usbmux handle the device then has. The
// application hears each change of state (searching, streaming, reconnecting
// and why, ended). Dispose stops everything and waits for the session's
// threads.
using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;
using KVXDeviceWrapper;
using KVXInterop;

namespace KVXInterop
{
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    internal delegate void SessionStateCallback(IntPtr context, int state, int reason, IntPtr url, int handle,
                                                int httpStatus);
}

namespace KVXSessionWrapper
{
    // The values of kvx/kvx.h's KVX_SESSION_ states.
    public enum KVXSessionState
    {
        // Not started yet.
        Idle = 0,
        // Waiting for the app to be found for the first time.
        Searching = 1,
        // A stream runs: frames come.
        Streaming = 2,
        // A stream ran and the session waits to resume; the reason says why.
        Reconnecting = 3,
        // Aborted or disposed: nothing further happens.
        Ended = 4,
    }

    // Why the session waits, or ended (kvx/kvx.h's reasons). While it waits,
    // worse news may replace a reason (a detach found to be a lost daemon).
    public enum KVXSessionReason
    {
        None = 0,
        // The device is no longer attached.
        Detached = 1,
        // The device is attached, but discovery reports the app gone.
        Removed = 2,
        // The stream ended (or could not be made again) while the app was
        // present.
        StreamEnded = 3,
        // The USB daemon cannot be reached.
        DaemonLost = 4,
        // The app answered with an error status (httpStatus).
        Refused = 5,
        // abort was called.
        Aborted = 6,
    }

    // The application's receiver. Calls run one at a time on threads the
    // session owns (never two at once): a slow newImage slows the stream. Do
    // not Dispose the session from here (InvalidOperationException); abort
    // is allowed. An exception thrown here is reported on standard error and
    // ignored.
    public interface KVXSessionDelegate
    {
        // One complete frame, as KVXDeviceDelegate.newImage gets it: the
        // application's own copy, positioned at 0.
        void newImage(Stream data, uint size, string mimetype);
        // The state changed. `url` and `handle` are those of the stream that
        // runs or ran last ("" and 0 before the first); `httpStatus` is the
        // refusing app's status with Refused, else 0.
        void stateChanged(KVXSessionState state, KVXSessionReason reason, string url, int handle, int httpStatus);
    }

    public class KVXSession : IDisposable
    {
        // The native session (kvx_session*); zero after teardown.
        private IntPtr m_session;
        // Strong handle to this object, the context of the native callbacks.
        private GCHandle m_self;
        private readonly object m_lock = new object();

        private static readonly FrameCallback s_onFrame = OnFrame;
        private static readonly SessionStateCallback s_onState = OnState;

        [ThreadStatic] private static KVXSession t_insideCallbackOf;

        // The application's delegate, read at every call. Set it before start.
        public KVXSessionDelegate sessionDelegate { get; set; }

        // `device`: the device name the app reports (ASCII letter case
        // ignored) or the device identifier; null or "" for the first app
        // found. `clientName` is sent to the app with every stream. Throws
        // OutOfMemoryException when the native session cannot be created.
        public KVXSession(string device, string clientName)
        {
            m_session = NativeMethods.kvx_session_create(NativeMethods.ToUtf8(device),
                                                         NativeMethods.ToUtf8(clientName));
            if (m_session == IntPtr.Zero)
            {
                GC.SuppressFinalize(this);
                throw new OutOfMemoryException("the session could not be created");
            }
            m_self = GCHandle.Alloc(this, GCHandleType.Normal);
            NativeMethods.kvx_session_set_callbacks(m_session, s_onFrame, s_onState, GCHandle.ToIntPtr(m_self));
        }

        ~KVXSession()
        {
            Teardown();
        }

        // Starts following. A second start, or a start after abort or
        // Dispose, does nothing.
        public void start()
        {
            lock (m_lock)
            {
                if (m_session != IntPtr.Zero) NativeMethods.kvx_session_start(m_session);
            }
        }

        // Ends the session: no newImage starts once it returns, and
        // stateChanged(Ended, Aborted) is the last call. Never waits, so it
        // may be called from the delegate.
        public void abort()
        {
            if (t_insideCallbackOf == this)
            {
                NativeMethods.kvx_session_abort(m_session);
                return;
            }
            lock (m_lock)
            {
                if (m_session != IntPtr.Zero) NativeMethods.kvx_session_abort(m_session);
            }
        }

        private bool m_latestOnly;

        // As KVXDevice.deliverLatestOnly, for every stream of the session:
        // false (the default) hands over every frame, in order, and a slow
        // newImage slows the stream; true reads on while newImage runs, each
        // call gets the newest complete frame and those replaced meanwhile
        // are dropped and counted (GetStats). Set before start: afterwards
        // InvalidOperationException, and ObjectDisposedException after
        // Dispose.
        public bool deliverLatestOnly
        {
            get { return m_latestOnly; }
            set
            {
                int mode = value ? NativeMethods.DeliverLatestFrame : NativeMethods.DeliverEveryFrame;
                int result = ReadNative(session => NativeMethods.kvx_session_set_delivery(session, mode), int.MinValue);
                if (result == int.MinValue) throw new ObjectDisposedException("KVXSession");
                if (result != 0) throw new InvalidOperationException("deliverLatestOnly can only be set before start");
                m_latestOnly = value;
            }
        }

        // The frame counters of every stream so far, summed across resumes.
        // Any thread, the delegate included; all zero after Dispose.
        public KVXDeviceStats GetStats()
        {
            return ReadNative(session =>
            {
                var native = NativeDeviceStats.Sized();
                NativeMethods.kvx_session_get_stats(session, ref native);
                return KVXDeviceStats.From(native);
            }, new KVXDeviceStats());
        }

        // The state as last reported and the rest of it; any thread. After
        // Dispose: Idle, None, "", 0.
        public KVXSessionState state
        {
            get { return (KVXSessionState)ReadNative(NativeMethods.kvx_session_get_state, 0); }
        }

        public KVXSessionReason reason
        {
            get { return (KVXSessionReason)ReadNative(NativeMethods.kvx_session_get_reason, 0); }
        }

        public int handle
        {
            get { return ReadNative(NativeMethods.kvx_session_get_handle, 0); }
        }

        public int httpStatus
        {
            get { return ReadNative(NativeMethods.kvx_session_get_http_status, 0); }
        }

        public string url
        {
            get { return ReadNative(session => TextOf(NativeMethods.kvx_session_get_url, session), string.Empty); }
        }

        // The identifier of the device followed, once found.
        public string device
        {
            get { return ReadNative(session => TextOf(NativeMethods.kvx_session_get_device, session), string.Empty); }
        }

        // Stops the session and waits for its threads: nothing is called
        // afterwards. Throws InvalidOperationException from the delegate.
        public void Dispose()
        {
            if (t_insideCallbackOf == this)
            {
                throw new InvalidOperationException("a KVXSession cannot be disposed from its own callbacks");
            }
            Teardown();
            GC.SuppressFinalize(this);
        }

        private void Teardown()
        {
            lock (m_lock)
            {
                if (m_session == IntPtr.Zero) return;
                NativeMethods.kvx_session_destroy(m_session);
                m_session = IntPtr.Zero;
                if (m_self.IsAllocated) m_self.Free();
            }
        }

        private T ReadNative<T>(Func<IntPtr, T> read, T none)
        {
            // Teardown cannot complete while this session's own callback
            // runs, and the lock may be held by a thread waiting for it.
            if (t_insideCallbackOf == this) return read(m_session);
            lock (m_lock)
            {
                return m_session != IntPtr.Zero ? read(m_session) : none;
            }
        }

        private static string TextOf(Func<IntPtr, byte[], int, int> get, IntPtr session)
        {
            byte[] buffer = new byte[128];
            for (;;)
            {
                int length = get(session, buffer, buffer.Length);
                if (length < buffer.Length) return Encoding.UTF8.GetString(buffer, 0, length);
                buffer = new byte[length + 1];
            }
        }

        private static KVXSession FromContext(IntPtr context)
        {
            return (KVXSession)GCHandle.FromIntPtr(context).Target;
        }

        private static void OnFrame(IntPtr context, IntPtr data, ulong size, IntPtr contentType)
        {
            KVXSession previous = t_insideCallbackOf;
            NativeMethods.MarkLibraryThread();
            try
            {
                KVXSession self = FromContext(context);
                t_insideCallbackOf = self;
                if (size > int.MaxValue)
                {
                    Console.Error.WriteLine("KVXSession: frame of {0} bytes dropped (too large)", size);
                    return;
                }
                int n = (int)size;
                byte[] bytes = new byte[n];
                if (n > 0) Marshal.Copy(data, bytes, 0, n);
                KVXSessionDelegate receiver = self.sessionDelegate;
                if (receiver != null)
                {
                    receiver.newImage(new MemoryStream(bytes, 0, n, true, true), (uint)n,
                                      Marshal.PtrToStringAnsi(contentType) ?? string.Empty);
                }
            }
            catch (Exception error)
            {
                NativeMethods.ReportCallbackException("KVXSessionDelegate.newImage", error);
            }
            finally
            {
                t_insideCallbackOf = previous;
            }
        }

        private static void OnState(IntPtr context, int state, int reason, IntPtr url, int handle, int httpStatus)
        {
            KVXSession previous = t_insideCallbackOf;
            NativeMethods.MarkLibraryThread();
            try
            {
                KVXSession self = FromContext(context);
                t_insideCallbackOf = self;
                KVXSessionDelegate receiver = self.sessionDelegate;
                if (receiver != null)
                {
                    receiver.stateChanged((KVXSessionState)state, (KVXSessionReason)reason,
                                          Marshal.PtrToStringAnsi(url) ?? string.Empty, handle, httpStatus);
                }
            }
            catch (Exception error)
            {
                NativeMethods.ReportCallbackException("KVXSessionDelegate.stateChanged", error);
            }
            finally
            {
                t_insideCallbackOf = previous;
            }
        }
    }
}
