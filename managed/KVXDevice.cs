// KVXDeviceWrapper: one image stream from one device.
//
// An application creates a KVXDevice with the app URLs and the usbmux handle
// that discovery reported (KVXUSBControllerWrapper), sets deviceDelegate,
// calls start, and gets every frame through newImage on the library's worker
// thread, then disconnected when the stream ends without an abort. Dispose
// stops the stream and waits for the worker. Beside it: frameDelegate takes
// frames without a copy (KVXFrame), deliverLatestOnly lets a slow
// application skip frames instead of slowing the stream, and GetStats counts
// them.
using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;
using KVXInterop;

namespace KVXDeviceWrapper
{
    // The application's receiver of frames. Both operations run on the
    // device's worker thread, one at a time; a slow newImage slows the stream
    // (unless deliverLatestOnly).
    // An exception thrown here is reported on standard error and ignored.
    public interface KVXDeviceDelegate
    {
        // One complete frame: `data` is the application's own copy, a
        // fixed-length stream of `size` bytes positioned at 0; `mimetype` is
        // "image/jpeg", "image/rgb" or "image/rgba" as the app sent it.
        void newImage(Stream data, uint size, string mimetype);
        // The stream has ended without an abort. At most once, after the last
        // frame.
        void disconnected();
    }

    // A device's frame counters (KVXDevice.GetStats). For a stream that ended
    // by itself FramesReceived = FramesDelivered + FramesDropped.
    public struct KVXDeviceStats
    {
        // Complete frames read from the stream.
        public ulong FramesReceived;
        // Frames handed to newImage or newFrame.
        public ulong FramesDelivered;
        // Frames replaced by a newer one before they could be handed over
        // (deliverLatestOnly).
        public ulong FramesDropped;
        // Body bytes of the complete frames read.
        public ulong BytesReceived;

        internal static KVXDeviceStats From(NativeDeviceStats native)
        {
            var stats = new KVXDeviceStats();
            stats.FramesReceived = native.framesReceived;
            stats.FramesDelivered = native.framesDelivered;
            stats.FramesDropped = native.framesDropped;
            stats.BytesReceived = native.bytesReceived;
            return stats;
        }
    }

    public class KVXDevice : IDisposable
    {
        // The native device stream (kvx_device*); zero after teardown.
        private IntPtr m_device;
        // Strong handle to this object, the context of the native callbacks.
        // While it exists the object is not collected, so an undisposed
        // KVXDevice lives (and may stream) for the life of the process.
        private GCHandle m_self;
        // Serialises start, abort and teardown between application threads.
        private readonly object m_lock = new object();

        // Held in static fields for the life of the process: native code may
        // call them until the last device is destroyed.
        private static readonly FrameCallback s_onFrame = OnFrame;
        private static readonly DisconnectedCallback s_onDisconnected = OnDisconnected;

        // The device whose callback the current thread is running, if any.
        [ThreadStatic] private static KVXDevice t_insideCallbackOf;

        // The library's console lines on standard output (these progress
        // lines, and the native "Device attached: ..." line): true by
        // default; false keeps the host's standard output its own. One switch
        // for the whole process, shared by KVXDevice.consoleOutput and
        // KVXUSBController.consoleOutput.
        public static bool consoleOutput
        {
            get { return NativeMethods.ConsoleOutput; }
            set { NativeMethods.ConsoleOutput = value; }
        }

        // The application's delegate: plain storage, read at every callback.
        // Set it before start.
        public KVXDeviceDelegate deviceDelegate { get; set; }

        // Copy-free frames: when set, frames go to its newFrame instead of
        // deviceDelegate.newImage (no array is made for them); disconnected
        // goes to each delegate that is set (once to an object set as both).
        // Plain storage read at every callback; set it before start.
        public KVXFrameDelegate frameDelegate { get; set; }

        private bool m_latestOnly;

        // False (the default): every frame, in order; the stream is read on
        // only after the callback has returned, so a slow callback slows the
        // stream. True: the stream is read on while the callback runs, and each
        // call gets the newest complete frame; frames replaced before they
        // could be handed over are dropped and counted (GetStats). Frames stay
        // whole and in order, and the last one comes before disconnected. Set
        // before start: afterwards InvalidOperationException, and
        // ObjectDisposedException after Dispose.
        public bool deliverLatestOnly
        {
            get { return m_latestOnly; }
            set
            {
                int result = ReadNative(device => NativeMethods.kvx_device_set_delivery(device, value ? NativeMethods.DeliverLatestFrame : NativeMethods.DeliverEveryFrame), int.MinValue);
                if (result == int.MinValue) throw new ObjectDisposedException("KVXDevice");
                if (result != 0) throw new InvalidOperationException("deliverLatestOnly can only be set before start");
                m_latestOnly = value;
            }
        }

        // The frame counters so far. Any thread, the callbacks included, also
        // after the stream ended; all zero after Dispose.
        public KVXDeviceStats GetStats()
        {
            return ReadNative(device =>
            {
                var native = NativeDeviceStats.Sized();
                NativeMethods.kvx_device_get_stats(device, ref native);
                return KVXDeviceStats.From(native);
            }, new KVXDeviceStats());
        }

        // `urls` are tried in order; `handle` is the device's usbmux handle
        // (0: plain TCP to the URLs' hosts). Unparsable URLs are not reported:
        // they fail when tried. Throws OutOfMemoryException when the native
        // device stream cannot be created.
        public KVXDevice(List<string> urls, int handle)
        {
            NativeMethods.WriteLine("Constructing KVXDevice");
            if (urls == null)
            {
                GC.SuppressFinalize(this);
                throw new ArgumentNullException("urls");
            }
            IntPtr[] texts = new IntPtr[urls.Count];
            try
            {
                for (int i = 0; i < texts.Length; ++i) texts[i] = NativeMethods.AllocUtf8(urls[i]);
                m_device = NativeMethods.kvx_device_create(texts, texts.Length, handle);
            }
            finally
            {
                foreach (IntPtr text in texts)
                {
                    if (text != IntPtr.Zero) Marshal.FreeHGlobal(text);
                }
            }
            if (m_device == IntPtr.Zero)
            {
                GC.SuppressFinalize(this);
                throw new OutOfMemoryException("the device stream could not be created");
            }
            m_self = GCHandle.Alloc(this, GCHandleType.Normal);
            NativeMethods.kvx_device_set_callbacks(m_device, s_onFrame, s_onDisconnected, GCHandle.ToIntPtr(m_self));
        }

        ~KVXDevice()
        {
            Teardown();
        }

        // Starts the single stream run; `hostHame` is the client name sent to
        // the app. A second start, or a start after Dispose, does nothing.
        public void start(string hostHame)
        {
            NativeMethods.WriteLine("Calling start with hostName:{0}", hostHame);
            byte[] name = NativeMethods.ToUtf8(hostHame);
            if (t_insideCallbackOf == this)
            {
                // As in abort: a Dispose on another thread holds m_lock while
                // it waits for this callback's thread.
                NativeMethods.kvx_device_start(m_device, name);
                return;
            }
            lock (m_lock)
            {
                if (m_device != IntPtr.Zero) NativeMethods.kvx_device_start(m_device, name);
            }
        }

        // Stops the stream: frames stop and no disconnected follows. Never
        // waits for the worker, so it may be called from newImage.
        public void abort()
        {
            NativeMethods.WriteLine("Calling abort");
            if (t_insideCallbackOf == this)
            {
                // Teardown cannot complete while this callback runs (it waits
                // for this thread), so the native device is safe without the
                // lock, which an application thread in Dispose may hold.
                NativeMethods.kvx_device_abort(m_device);
                return;
            }
            lock (m_lock)
            {
                if (m_device != IntPtr.Zero) NativeMethods.kvx_device_abort(m_device);
            }
        }

        // Why the stream ended: final once hasEnded is true (it is before
        // disconnected is called, and once an aborted run is over); while
        // the stream runs, how far it got. Any thread, the callbacks
        // included; after Dispose they read as a stream that never started.
        // lastResult is the library's result code (0 while connecting or
        // streaming, NPT_ERROR_CONNECTION_REFUSED when no URL could be
        // reached, -1 when the app answered with another status than 200,
        // NPT_ERROR_EOS when the app ended the stream, ...; kvx/kvx.h lists
        // them), lastResultName its name; httpStatus and contentType are those
        // of the last answer received (0 and "" when none was).
        public bool hasEnded
        {
            get { return ReadNative(NativeMethods.kvx_device_has_ended, 0) != 0; }
        }

        public int lastResult
        {
            get { return ReadNative(NativeMethods.kvx_device_get_last_result, 0); }
        }

        public string lastResultName
        {
            get { return Marshal.PtrToStringAnsi(NativeMethods.kvx_result_name(lastResult)); }
        }

        public int httpStatus
        {
            get { return ReadNative(NativeMethods.kvx_device_get_http_status, 0); }
        }

        public string contentType
        {
            get { return ReadNative(ContentTypeOf, string.Empty); }
        }

        // Stops the stream, waits for the worker and releases everything.
        // Throws InvalidOperationException from inside this device's own
        // newImage or disconnected, where it would wait for itself.
        public void Dispose()
        {
            if (t_insideCallbackOf == this)
            {
                throw new InvalidOperationException("a KVXDevice cannot be disposed from its own callbacks");
            }
            Teardown();
            GC.SuppressFinalize(this);
        }

        private void Teardown()
        {
            NativeMethods.WriteLine("Destructing");
            lock (m_lock)
            {
                if (m_device == IntPtr.Zero) return;
                // Joins the worker: no callback runs afterwards, so the
                // handle the callbacks use can go.
                NativeMethods.kvx_device_destroy(m_device);
                m_device = IntPtr.Zero;
                if (m_self.IsAllocated) m_self.Free();
            }
        }

        // Reads from the native device, or gives `none` once it is gone.
        private T ReadNative<T>(Func<IntPtr, T> read, T none)
        {
            // Teardown cannot complete while this device's own callback runs,
            // and the lock may be held by a thread waiting for that callback.
            if (t_insideCallbackOf == this) return read(m_device);
            lock (m_lock)
            {
                return m_device != IntPtr.Zero ? read(m_device) : none;
            }
        }

        private static string ContentTypeOf(IntPtr device)
        {
            byte[] buffer = new byte[64];
            for (;;)
            {
                int length = NativeMethods.kvx_device_get_content_type(device, buffer, buffer.Length);
                // The text may change between calls while the run goes on.
                if (length < buffer.Length) return Encoding.UTF8.GetString(buffer, 0, length);
                buffer = new byte[length + 1];
            }
        }

        private static KVXDevice FromContext(IntPtr context)
        {
            return (KVXDevice)GCHandle.FromIntPtr(context).Target;
        }

        private static void OnFrame(IntPtr context, IntPtr data, ulong size, IntPtr contentType)
        {
            KVXDevice previous = t_insideCallbackOf;
            string where = "KVXDeviceDelegate.newImage";
            NativeMethods.MarkLibraryThread();
            try
            {
                KVXDevice self = FromContext(context);
                t_insideCallbackOf = self;
                string mimetype = Marshal.PtrToStringAnsi(contentType) ?? string.Empty;
                KVXFrameDelegate frames = self.frameDelegate;
                if (frames != null)
                {
                    where = "KVXFrameDelegate.newFrame";
                    DeliverFrame(self, frames, data, size, mimetype);
                    return;
                }
                if (size > int.MaxValue)
                {
                    // A managed array cannot hold it: the frame is dropped and
                    // the stream goes on.
                    Console.Error.WriteLine("KVXDevice: frame of {0} bytes dropped (too large)", size);
                    return;
                }
                int n = (int)size;
                // The native frame store is refilled for the next frame: this
                // copy is what the application keeps.
                byte[] bytes = new byte[n];
                if (n > 0) Marshal.Copy(data, bytes, 0, n);
                MemoryStream stream = new MemoryStream(bytes, 0, n, true, true);
                KVXDeviceDelegate receiver = self.deviceDelegate;
                if (receiver != null) receiver.newImage(stream, (uint)n, mimetype);
            }
            catch (Exception error)
            {
                NativeMethods.ReportCallbackException(where, error);
            }
            finally
            {
                t_insideCallbackOf = previous;
            }
        }

        // The frame over the native bytes, valid until newFrame returns (the
        // native buffer is refilled afterwards).
        private static void DeliverFrame(KVXDevice self, KVXFrameDelegate frames, IntPtr data, ulong size, string mimetype)
        {
            ulong number;
            NativeMethods.kvx_device_get_frame_number(self.m_device, out number);
            // The stream caps frames below 2^31 bytes.
            var frame = new KVXFrame(data, (uint)size, mimetype, number);
            try
            {
                frames.newFrame(frame);
            }
            finally
            {
                frame.Invalidate();
            }
        }

        private static void OnDisconnected(IntPtr context)
        {
            KVXDevice previous = t_insideCallbackOf;
            NativeMethods.MarkLibraryThread();
            try
            {
                KVXDevice self = FromContext(context);
                t_insideCallbackOf = self;
                KVXDeviceDelegate receiver = self.deviceDelegate;
                KVXFrameDelegate frames = self.frameDelegate;
                if (frames != null)
                {
                    try
                    {
                        frames.disconnected();
                    }
                    catch (Exception error)
                    {
                        NativeMethods.ReportCallbackException("KVXFrameDelegate.disconnected", error);
                    }
                }
                if (receiver != null && !ReferenceEquals(receiver, frames)) receiver.disconnected();
            }
            catch (Exception error)
            {
                NativeMethods.ReportCallbackException("KVXDeviceDelegate.disconnected", error);
            }
            finally
            {
                t_insideCallbackOf = previous;
            }
        }
    }
}
