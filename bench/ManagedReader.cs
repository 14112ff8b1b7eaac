// KVXManagedReader: the .NET assembly's device stream over plain TCP with a
// newImage that only reads the length of the frame it was given.
//   mono KVXManagedReader.exe PORT TARGET    (libkvx.so on the library path)
// Prints "frames=F bytes=B" when the stream ends.
using System;
using System.Collections.Generic;
using System.IO;
using System.Threading;
using KVXDeviceWrapper;

class LengthReader : KVXDeviceDelegate
{
    public long Frames;
    public long Bytes;
    public readonly ManualResetEvent Ended = new ManualResetEvent(false);

    // The worker thread is the only writer; Main reads after Ended.
    public void newImage(Stream data, uint size, string mimetype)
    {
        Frames++;
        Bytes += data.Length;
    }

    public void disconnected()
    {
        Ended.Set();
    }
}

static class Program
{
    static int Main(string[] args)
    {
        if (args.Length != 2)
        {
            Console.Error.WriteLine("usage: mono KVXManagedReader.exe PORT TARGET");
            return 2;
        }
        var reader = new LengthReader();
        bool ended;
        using (var device = new KVXDevice(new List<string> { "http://127.0.0.1:" + args[0] + args[1] }, 0))
        {
            device.deviceDelegate = reader;
            device.start("kvx-bench");
            ended = reader.Ended.WaitOne(TimeSpan.FromMinutes(10));
        }
        Console.WriteLine("frames={0} bytes={1}", reader.Frames, reader.Bytes);
        if (!ended) Console.Error.WriteLine("KVXManagedReader: the stream did not end in time");
        return ended ? 0 : 1;
    }
}
