// KVXUSBControllerWrapper: discovery of companion apps on devices attached
// over USB.
//
// Discovery runs from construction until abort or Dispose. Each app that
// answers is reported through controllerDelegate.OnUSBDeviceFound with the
// device name, the usbmux handle and the URL that KVXDeviceWrapper.KVXDevice
// needs; its disappearance through OnUSBDeviceRemoved.
using System;
using System.Runtime.InteropServices;
using System.Threading;
using KVXInterop;

namespace KVXUSBControllerWrapper
{
    // The application's receiver of discovery notifications. They run one at
    // a time, in event order, on a thread the controller owns and Dispose
    // joins: return promptly (later notifications wait), and do not call
    // abort or Dispose from here (refused with InvalidOperationException).
    // An exception thrown here is reported on standard error and ignored.
    public interface KVXUSBControllerDelegate
    {
        // An app answered: `name` is its device name, `handle` the device's
        // usbmux handle, `url` the app's URL.
        void OnUSBDeviceFound(string name, int handle, string url);
        // The app at `url` is gone (device detached, or four failed probes).
        // On a detach it comes for every watched port, so `url` may never
        // have been reported as found.
        void OnUSBDeviceRemoved(string url);
    }

    // Whether a controller can reach the USB multiplexing daemon, as far as it
    // can tell (the values of kvx/kvx.h's KVX_CONTROLLER_...).
    public enum KVXUSBControllerState
    {
        // Not checked yet (the controller checks at once after construction).
        Starting = 0,
        // The usbmux client library could not be loaded: no device is ever
        // found.
        NoLibrary = 1,
        // The daemon did not answer at daemonAddress; nothing is found until
        // it does.
        DaemonUnreachable = 2,
        // The daemon answered the last check.
        Connected = 3,
    }

    public class KVXUSBController : IDisposable
    {
        // The native controller (kvx_controller*); zero after teardown.
        private IntPtr m_controller;
        // Strong handle to this object, the context of the native callbacks:
        // an undisposed controller is never collected and discovers for the
        // life of the process.
        private GCHandle m_self;
        private readonly object m_lock = new object();

        // Native code may call these until the last controller is destroyed.
        private static readonly FoundCallback s_onFound = OnFound;
        private static readonly RemovedCallback s_onRemoved = OnRemoved;
        private static readonly StateCallback s_onState = OnState;

        [ThreadStatic] private static KVXUSBController t_insideCallbackOf;

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

        // 1 once the native callbacks are registered (at the first non-null
        // controllerDelegate).
        private int m_registered;
        private volatile KVXUSBControllerDelegate m_delegate;

        // The application's delegate, read at every notification. Discovery
        // runs from construction on: the first delegate set also hears, once
        // each, every app found before it and not removed since. Later, while
        // it is null, notifications are dropped.
        public KVXUSBControllerDelegate controllerDelegate
        {
            get { return m_delegate; }
            set
            {
                m_delegate = value;
                if (value != null && Interlocked.Exchange(ref m_registered, 1) == 0) RegisterCallbacks();
            }
        }

        // Raised with the new state whenever it changes, on the same thread
        // as the delegate's notifications and in order with them (the same
        // rules apply); read state after subscribing for the state before.
        public event Action<KVXUSBControllerState> stateChanged;

        // The state as last checked (Starting after Dispose). Any thread.
        public KVXUSBControllerState state
        {
            get { return (KVXUSBControllerState)ReadNative(NativeMethods.kvx_controller_get_state); }
        }

        // Where the daemon is looked for: USBMUXD_SOCKET_ADDRESS as it was at
        // construction, or the library's default ("UNIX:/var/run/usbmuxd";
        // "127.0.0.1:27015" on Windows); "" after Dispose.
        public string daemonAddress
        {
            get { return Marshal.PtrToStringAnsi(ReadNative(NativeMethods.kvx_controller_get_daemon_address)); }
        }

        // Starts discovery at once. Throws OutOfMemoryException when the
        // native controller cannot be created. Without the usbmux client
        // library it runs and finds nothing.
        public KVXUSBController()
        {
            NativeMethods.WriteLine("Constructing KVXUSBController");
            m_controller = NativeMethods.kvx_controller_create();
            if (m_controller == IntPtr.Zero)
            {
                GC.SuppressFinalize(this);
                throw new OutOfMemoryException("the USB controller could not be created");
            }
            m_self = GCHandle.Alloc(this, GCHandleType.Normal);
            NativeMethods.kvx_controller_set_state_callback(m_controller, s_onState, GCHandle.ToIntPtr(m_self));
        }

        // The native controller keeps aside the apps it finds until its first
        // found callback is registered, then reports them on its dispatcher:
        // registering only with the first delegate makes that delegate hear
        // them. Never runs inside this controller's notifications (there are
        // none before), so taking m_lock cannot wait for a Teardown that waits
        // for this thread.
        private void RegisterCallbacks()
        {
            lock (m_lock)
            {
                if (m_controller != IntPtr.Zero)
                {
                    NativeMethods.kvx_controller_set_callbacks(m_controller, s_onFound, s_onRemoved, GCHandle.ToIntPtr(m_self));
                }
            }
        }

        ~KVXUSBController()
        {
            Teardown();
        }

        // Discovery already runs since construction: the native controller
        // refuses and nothing changes.
        public void start()
        {
            NativeMethods.WriteLine("Calling KVXUSBController::start");
            if (t_insideCallbackOf == this)
            {
                // A Teardown on another thread holds m_lock while it joins
                // this thread; it cannot release the native controller before
                // this notification returns, so the lock is not needed.
                NativeMethods.kvx_controller_start(m_controller);
                return;
            }
            lock (m_lock)
            {
                if (m_controller != IntPtr.Zero) NativeMethods.kvx_controller_start(m_controller);
            }
        }

        // Ends discovery; returns once the current probe pass has finished.
        // Cannot be restarted. Throws InvalidOperationException from inside
        // this controller's own notifications.
        public void abort()
        {
            RefuseInsideCallback("aborted");
            NativeMethods.WriteLine("Calling KVXUSBController::abort");
            lock (m_lock)
            {
                if (m_controller != IntPtr.Zero) NativeMethods.kvx_controller_abort(m_controller);
            }
        }

        // Aborts and releases the controller; a second call does nothing.
        // Throws InvalidOperationException from inside this controller's own
        // notifications.
        public void Dispose()
        {
            RefuseInsideCallback("disposed");
            Teardown();
            GC.SuppressFinalize(this);
        }

        private void RefuseInsideCallback(string what)
        {
            if (t_insideCallbackOf == this)
            {
                throw new InvalidOperationException("a KVXUSBController cannot be " + what + " from its own notifications");
            }
        }

        private void Teardown()
        {
            lock (m_lock)
            {
                if (m_controller == IntPtr.Zero) return;
                NativeMethods.WriteLine("Destructing");
                NativeMethods.WriteLine("Calling KVXUSBController::abort");
                NativeMethods.kvx_controller_abort(m_controller);
                // Deletes the native controller, then stops and joins the
                // thread that runs the notifications (those still queued are
                // discarded); a usbmux event arriving meanwhile reaches
                // nothing.
                NativeMethods.kvx_controller_destroy(m_controller);
                m_controller = IntPtr.Zero;
                if (m_self.IsAllocated) m_self.Free();
            }
        }

        // Reads from the native controller (which takes a null one as gone).
        private T ReadNative<T>(Func<IntPtr, T> read)
        {
            // Teardown cannot complete while this controller's own
            // notification runs, and the lock may be held by a thread waiting
            // for that notification.
            if (t_insideCallbackOf == this) return read(m_controller);
            lock (m_lock)
            {
                return read(m_controller);
            }
        }

        private static KVXUSBController FromContext(IntPtr context)
        {
            return (KVXUSBController)GCHandle.FromIntPtr(context).Target;
        }

        private static void OnFound(IntPtr context, IntPtr name, int handle, IntPtr url)
        {
            KVXUSBController previous = t_insideCallbackOf;
            NativeMethods.MarkLibraryThread();
            try
            {
                KVXUSBController self = FromContext(context);
                t_insideCallbackOf = self;
                // The platform's default code page (UTF-8 here).
                string nameText = Marshal.PtrToStringAnsi(name) ?? string.Empty;
                string urlText = Marshal.PtrToStringAnsi(url) ?? string.Empty;
                KVXUSBControllerDelegate receiver = self.controllerDelegate;
                if (receiver != null) receiver.OnUSBDeviceFound(nameText, handle, urlText);
            }
            catch (Exception error)
            {
                NativeMethods.ReportCallbackException("KVXUSBControllerDelegate.OnUSBDeviceFound", error);
            }
            finally
            {
                t_insideCallbackOf = previous;
            }
        }

        private static void OnState(IntPtr context, int state)
        {
            KVXUSBController previous = t_insideCallbackOf;
            NativeMethods.MarkLibraryThread();
            try
            {
                KVXUSBController self = FromContext(context);
                t_insideCallbackOf = self;
                Action<KVXUSBControllerState> handlers = self.stateChanged;
                if (handlers != null) handlers((KVXUSBControllerState)state);
            }
            catch (Exception error)
            {
                NativeMethods.ReportCallbackException("KVXUSBController.stateChanged", error);
            }
            finally
            {
                t_insideCallbackOf = previous;
            }
        }

        private static void OnRemoved(IntPtr context, IntPtr url)
        {
            KVXUSBController previous = t_insideCallbackOf;
            NativeMethods.MarkLibraryThread();
            try
            {
                KVXUSBController self = FromContext(context);
                t_insideCallbackOf = self;
                string urlText = Marshal.PtrToStringAnsi(url) ?? string.Empty;
                KVXUSBControllerDelegate receiver = self.controllerDelegate;
                if (receiver != null) receiver.OnUSBDeviceRemoved(urlText);
            }
            catch (Exception error)
            {
                NativeMethods.ReportCallbackException("KVXUSBControllerDelegate.OnUSBDeviceRemoved", error);
            }
            finally
            {
                t_insideCallbackOf = previous;
            }
        }
    }
}
