// A whole Mono process that hears a detach through a controller with a
// delegate set, disposes the controller and returns from Main. Driven by
// ControllerTests over standard input and output: it prints "ready" once the
// controller exists, "found URL" and "removed URL" as notifications arrive,
// and "done" just before Main returns. The runtime must then exit by itself.
using System;
using System.Threading;
using KVXUSBControllerWrapper;

namespace KVXExitProbe
{
    internal sealed class Printer : KVXUSBControllerDelegate
    {
        public readonly ManualResetEvent Removed = new ManualResetEvent(false);

        public void OnUSBDeviceFound(string name, int handle, string url)
        {
            Console.Out.WriteLine("found " + url);
            Console.Out.Flush();
        }

        public void OnUSBDeviceRemoved(string url)
        {
            Console.Out.WriteLine("removed " + url);
            Console.Out.Flush();
            Removed.Set();
        }
    }

    internal static class Program
    {
        private static int Main()
        {
            var printer = new Printer();
            using (var controller = new KVXUSBController())
            {
                controller.controllerDelegate = printer;
                Console.Out.WriteLine("ready");
                Console.Out.Flush();
                if (!printer.Removed.WaitOne(15000)) return 2;
            }
            Console.Out.WriteLine("done");
            Console.Out.Flush();
            return 0;
        }
    }
}
