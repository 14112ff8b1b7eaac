// The calls into libkvx's C interface (kvx/kvx.h) and the text conversions
// the public classes share. Internal: applications use KVXSession, KVXDevice
// and KVXUSBController.
using System;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace KVXInterop
{
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    internal delegate void FrameCallback(IntPtr context, IntPtr data, ulong size, IntPtr contentType);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    internal delegate void DisconnectedCallback(IntPtr context);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    internal delegate void FoundCallback(IntPtr context, IntPtr name, int handle, IntPtr url);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    internal delegate void RemovedCallback(IntPtr context, IntPtr url);
    [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
    internal delegate void StateCallback(IntPtr context, int state);

    // kvx_device_stats as the C interface lays it out (natural alignment).
    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeDeviceStats
    {
        internal uint structSize;
        internal ulong framesReceived;
        internal ulong framesDelivered;
        internal ulong framesDropped;
        internal ulong bytesReceived;

        // An empty struct whose size field says what this assembly knows of.
        internal static NativeDeviceStats Sized()
        {
            var stats = new NativeDeviceStats();
            stats.structSize = (uint)Marshal.SizeOf(typeof(NativeDeviceStats));
            return stats;
        }
    }

    internal static class NativeMethods
    {
        private const string Library = "kvx";

        // kvx_device_set_delivery's modes.
        internal const int DeliverEveryFrame = 0;
        internal const int DeliverLatestFrame = 1;

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr kvx_device_create(IntPtr[] urls, int urlCount, int handle);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void kvx_device_set_callbacks(IntPtr device, FrameCallback onFrame,
                                                             DisconnectedCallback onDisconnected, IntPtr context);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_device_start(IntPtr device, byte[] clientName);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void kvx_device_abort(IntPtr device);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void kvx_device_destroy(IntPtr device);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_device_has_ended(IntPtr device);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_device_get_last_result(IntPtr device);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_device_get_http_status(IntPtr device);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_device_get_content_type(IntPtr device, byte[] buffer, int size);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr kvx_result_name(int result);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_device_set_delivery(IntPtr device, int mode);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_device_get_stats(IntPtr device, ref NativeDeviceStats stats);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_device_get_frame_number(IntPtr device, out ulong number);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr kvx_controller_create();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void kvx_controller_set_callbacks(IntPtr controller, FoundCallback onFound,
                                                                 RemovedCallback onRemoved, IntPtr context);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_controller_start(IntPtr controller);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void kvx_controller_abort(IntPtr controller);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void kvx_controller_destroy(IntPtr controller);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void kvx_controller_set_state_callback(IntPtr controller, StateCallback onState,
                                                                      IntPtr context);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_controller_get_state(IntPtr controller);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr kvx_controller_get_daemon_address(IntPtr controller);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_controller_get_daemon_error(IntPtr controller);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr kvx_session_create(byte[] device, byte[] clientName);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void kvx_session_set_callbacks(IntPtr session, FrameCallback onFrame,
                                                              SessionStateCallback onState, IntPtr context);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_session_start(IntPtr session);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void kvx_session_abort(IntPtr session);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void kvx_session_destroy(IntPtr session);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_session_get_state(IntPtr session);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_session_get_reason(IntPtr session);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_session_get_handle(IntPtr session);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_session_get_http_status(IntPtr session);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_session_get_url(IntPtr session, byte[] buffer, int size);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_session_get_device(IntPtr session, byte[] buffer, int size);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_session_set_delivery(IntPtr session, int mode);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_session_get_stats(IntPtr session, ref NativeDeviceStats stats);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void kvx_set_console_output(int enabled);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int kvx_get_console_output();

        // The library's console switch, shared with the native library.
        internal static bool ConsoleOutput
        {
            get { return kvx_get_console_output() != 0; }
            set { kvx_set_console_output(value ? 1 : 0); }
        }

        // A progress line on standard output, unless the host turned the
        // library's console lines off.
        internal static void WriteLine(string format, params object[] args)
        {
            if (ConsoleOutput) Console.WriteLine(format, args);
        }

        // NUL-terminated UTF-8 bytes of `text`; null becomes the empty text.
        internal static byte[] ToUtf8(string text)
        {
            byte[] bytes = new UTF8Encoding(false).GetBytes(text ?? string.Empty);
            byte[] terminated = new byte[bytes.Length + 1];
            Buffer.BlockCopy(bytes, 0, terminated, 0, bytes.Length);
            return terminated;
        }

        // A native copy of ToUtf8(text); release with Marshal.FreeHGlobal.
        internal static IntPtr AllocUtf8(string text)
        {
            byte[] bytes = ToUtf8(text);
            IntPtr memory = Marshal.AllocHGlobal(bytes.Length);
            Marshal.Copy(bytes, 0, memory, bytes.Length);
            return memory;
        }

        // Library threads enter the runtime through the callbacks. They are
        // the library's to end (the usbmux event thread never does), so the
        // runtime must not wait for them when the application exits.
        internal static void MarkLibraryThread()
        {
            Thread current = Thread.CurrentThread;
            if (!current.IsBackground) current.IsBackground = true;
        }

        // Reports an exception an application callback threw on a library
        // thread: it must not unwind into native code, and the stream or the
        // discovery goes on.
        internal static void ReportCallbackException(string where, Exception error)
        {
            try
            {
                Console.Error.WriteLine("{0} threw an exception (ignored): {1}", where, error);
            }
            catch (Exception)
            {
                // Standard error itself failed: nothing more can be done.
            }
        }
    }
}
