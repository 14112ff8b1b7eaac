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

        [ThreadStatic] private static KVXUSBController t_insideCallbackOf;

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

        // Starts discovery at once. Throws OutOfMemoryException when the
        // native controller cannot be created. Without the usbmux client
        // library it runs and finds nothing.
        public KVXUSBController()
        {
            Console.WriteLine("Constructing KVXUSBController");
            m_controller = NativeMethods.kvx_controller_create();
            if (m_controller == IntPtr.Zero)
            {
                GC.SuppressFinalize(this);
                throw new OutOfMemoryException("the USB controller could not be created");
            }
            m_self = GCHandle.Alloc(this, GCHandleType.Normal);
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
            Console.WriteLine("Calling KVXUSBController::start");
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
            Console.WriteLine("Calling KVXUSBController::abort");
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
                Console.WriteLine("Destructing");
                Console.WriteLine("Calling KVXUSBController::abort");
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
