// KVXManagedReader: the .NET assembly's device stream over plain TCP, with
// one of several ways of taking the frames.
//   mono KVXManagedReader.exe PORT TARGET [MODE]    (libkvx.so on the library path)
//   mono KVXManagedReader.exe floor FRAMES SIZE
// MODE:
//   image  (default) deviceDelegate.newImage, reading only the stream's length
//          (each frame arrives in a fresh array)
//   copy   frameDelegate.newFrame, copying each frame into one reused array
//   fresh  frameDelegate.newFrame, copying each frame into a fresh array
// "floor" streams nothing: it copies SIZE bytes of native memory into a fresh
// array FRAMES times, the cost a fresh array per frame cannot go below.
// Prints "frames=F bytes=B stream_seconds=S" at the end; S runs from start
// (or the first copy) to the end of the stream, without Mono's start-up.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Runtime.InteropServices;
using System.Threading;
using KVXDeviceWrapper;

class Reader : KVXDeviceDelegate, KVXFrameDelegate
{
    public long Frames;
    public long Bytes;
    public bool Fresh;
    public readonly ManualResetEvent Ended = new ManualResetEvent(false);
    private byte[] m_reused = new byte[0];

    // The worker thread is the only writer; Main reads after Ended.
    public void newImage(Stream data, uint size, string mimetype)
    {
        Frames++;
        Bytes += data.Length;
    }

    public void newFrame(KVXFrame frame)
    {
        uint size = frame.Size;
        byte[] into = m_reused;
        if (Fresh) into = new byte[size];
        else if (into.Length < size) into = m_reused = new byte[size];
        frame.CopyTo(into, 0);
        Frames++;
        Bytes += size;
    }

    public void disconnected()
    {
        Ended.Set();
    }
}

static class Program
{
    static int Floor(long frames, int size)
    {
        IntPtr native = Marshal.AllocHGlobal(size);
        var warm = new byte[size];
        Marshal.Copy(warm, 0, native, size);
        long bytes = 0;
        var clock = Stopwatch.StartNew();
        for (long i = 0; i < frames; ++i)
        {
            var fresh = new byte[size];
            Marshal.Copy(native, fresh, 0, size);
            bytes += fresh.Length;
        }
        double seconds = clock.Elapsed.TotalSeconds;
        Marshal.FreeHGlobal(native);
        Console.WriteLine("frames={0} bytes={1} stream_seconds={2:F6}", frames, bytes, seconds);
        return 0;
    }

    static int Main(string[] args)
    {
        if (args.Length == 3 && args[0] == "floor") return Floor(long.Parse(args[1]), int.Parse(args[2]));
        if (args.Length < 2 || args.Length > 3)
        {
            Console.Error.WriteLine("usage: mono KVXManagedReader.exe PORT TARGET [image|copy|fresh] | floor FRAMES SIZE");
            return 2;
        }
        string mode = args.Length == 3 ? args[2] : "image";
        if (mode != "image" && mode != "copy" && mode != "fresh")
        {
            Console.Error.WriteLine("KVXManagedReader: unknown mode {0}", mode);
            return 2;
        }
        KVXDevice.consoleOutput = false;
        var reader = new Reader();
        reader.Fresh = mode == "fresh";
        bool ended;
        Stopwatch clock;
        using (var device = new KVXDevice(new List<string> { "http://127.0.0.1:" + args[0] + args[1] }, 0))
        {
            if (mode == "image") device.deviceDelegate = reader;
            else device.frameDelegate = reader;
            clock = Stopwatch.StartNew();
            device.start("kvx-bench");
            ended = reader.Ended.WaitOne(TimeSpan.FromMinutes(10));
            clock.Stop();
        }
        Console.WriteLine("frames={0} bytes={1} stream_seconds={2:F6}", reader.Frames, reader.Bytes, clock.Elapsed.TotalSeconds);
        if (!ended) Console.Error.WriteLine("KVXManagedReader: the stream did not end in time");
        return ended ? 0 : 1;
    }
}
