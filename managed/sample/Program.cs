// KVXSample: find the first companion app on a USB device, stream ten frames
// from it and print their sizes.
//
//   mono KVXSample.exe          (libkvx.so on the library path)
using System;
using System.Collections.Generic;
using System.IO;
using System.Threading;
using KVXDeviceWrapper;
using KVXUSBControllerWrapper;

class FirstApp : KVXUSBControllerDelegate
{
    public string Url;
    public int Handle;
    public readonly ManualResetEvent Found = new ManualResetEvent(false);

    // Runs on a library thread: note the app and return at once.
    public void OnUSBDeviceFound(string name, int handle, string url)
    {
        Console.WriteLine("found {0} at {1} (handle {2})", name, url, handle);
        if (Url != null) return;
        Url = url;
        Handle = handle;
        Found.Set();
    }

    public void OnUSBDeviceRemoved(string url) { }
}

class TenFrames : KVXDeviceDelegate
{
    public int Count;
    public readonly ManualResetEvent Done = new ManualResetEvent(false);

    // Runs on the device's worker; `data` is ours to keep.
    public void newImage(Stream data, uint size, string mimetype)
    {
        if (Count == 10) return;
        Console.WriteLine("frame {0}: {1} bytes of {2}", ++Count, size, mimetype);
        if (Count == 10) Done.Set();
    }

    public void disconnected()
    {
        Done.Set();
    }
}

static class Program
{
    static int Main()
    {
        var app = new FirstApp();
        using (var controller = new KVXUSBController())
        {
            controller.controllerDelegate = app;
            if (!app.Found.WaitOne(TimeSpan.FromSeconds(10)))
            {
                Console.Error.WriteLine("no app found");
                return 1;
            }
        }
        var frames = new TenFrames();
        using (var device = new KVXDevice(new List<string> { app.Url }, app.Handle))
        {
            device.deviceDelegate = frames;
            device.start(Environment.MachineName);
            frames.Done.WaitOne(TimeSpan.FromSeconds(30));
            device.abort();
        }
        return frames.Count == 10 ? 0 : 1;
    }
}
