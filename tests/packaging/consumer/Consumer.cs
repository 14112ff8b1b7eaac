// The assembly's version, and whether the assembly found libkvx (reading
// consoleOutput calls into it).
using System;
using KVXDeviceWrapper;

class Consumer
{
    static void Main()
    {
        Console.WriteLine("{0} {1}", typeof(KVXDevice).Assembly.GetName().Version, KVXDevice.consoleOutput);
    }
}
