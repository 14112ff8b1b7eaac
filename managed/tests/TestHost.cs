// The devices the tests talk to: kvx-managed-test-host (the simulated usbmux
// daemon and companion-app doubles on loopback), started once for the whole
// run and stopped at its end. The client library finds the daemon through
// USBMUXD_SOCKET_ADDRESS, which is set before the first controller exists.
using System;
using System.Collections.Concurrent;
using System.Diagnostics;
using System.IO;
using System.Threading;
using NUnit.Framework;

namespace KVXManagedTests
{
    [SetUpFixture]
    public class TestRun
    {
        public static TestHost Host;

        [SetUp]
        public void StartHost()
        {
            Host = new TestHost();
        }

        [TearDown]
        public void StopHost()
        {
            if (Host != null) Host.Dispose();
            Host = null;
        }
    }

    public sealed class TestHost : IDisposable
    {
        private readonly Process m_process;
        private readonly BlockingCollection<string> m_lines = new BlockingCollection<string>();
        private readonly object m_lock = new object();
        private readonly string m_socketPath;

        public TestHost()
        {
            string exe = Environment.GetEnvironmentVariable("KVX_TEST_HOST");
            if (string.IsNullOrEmpty(exe)) throw new InvalidOperationException("KVX_TEST_HOST is not set");
            string address = Environment.GetEnvironmentVariable("USBMUXD_SOCKET_ADDRESS");
            if (string.IsNullOrEmpty(address))
            {
                m_socketPath = Path.Combine(Path.GetTempPath(), "kvx-managed-" + Process.GetCurrentProcess().Id + ".sock");
                address = "UNIX:" + m_socketPath;
            }
            else if (address.StartsWith("UNIX:"))
            {
                m_socketPath = address.Substring(5);
            }
            if (m_socketPath != null && File.Exists(m_socketPath)) File.Delete(m_socketPath);
            var info = new ProcessStartInfo(exe, address);
            info.UseShellExecute = false;
            info.RedirectStandardInput = true;
            info.RedirectStandardOutput = true;
            m_process = Process.Start(info);
            var reader = new Thread(() =>
            {
                string line;
                while ((line = m_process.StandardOutput.ReadLine()) != null) m_lines.Add(line);
                m_lines.CompleteAdding();
            });
            reader.IsBackground = true;
            reader.Start();
            string first = NextLine();
            Environment.SetEnvironmentVariable("USBMUXD_SOCKET_ADDRESS", first);
        }

        private string NextLine()
        {
            string line;
            if (!m_lines.TryTake(out line, 10000)) throw new TimeoutException("the test host did not answer");
            return line;
        }

        // One command, its answer without "ok "; throws on "error".
        public string Command(string command)
        {
            lock (m_lock)
            {
                m_process.StandardInput.WriteLine(command);
                m_process.StandardInput.Flush();
                string answer = NextLine();
                if (!answer.StartsWith("ok")) throw new InvalidOperationException(command + ": " + answer);
                return answer.Length > 3 ? answer.Substring(3) : string.Empty;
            }
        }

        // Starts an app double; returns its index and loopback port.
        public int StartApp(long frames, int size, double fps, string name, out int port)
        {
            string answer = Command(string.Format(System.Globalization.CultureInfo.InvariantCulture,
                                                  "app {0} {1} {2} {3}", frames, size, fps, name));
            // "index=K port=P"
            string[] parts = answer.Split(' ');
            port = int.Parse(parts[1].Substring(5));
            return int.Parse(parts[0].Substring(6));
        }

        public long Count(string what, int app)
        {
            return long.Parse(Command(what + " " + app));
        }

        public static byte PatternByte(long seq, int i)
        {
            return (byte)((seq * 31 + (long)i * 7 + 1) & 0xFF);
        }

        public static bool WaitUntil(Func<bool> done, int timeoutMs)
        {
            var clock = Stopwatch.StartNew();
            while (!done())
            {
                if (clock.ElapsedMilliseconds > timeoutMs) return false;
                Thread.Sleep(5);
            }
            return true;
        }

        public void Dispose()
        {
            try
            {
                m_process.StandardInput.WriteLine("quit");
                m_process.StandardInput.Close();
            }
            catch (IOException)
            {
            }
            if (!m_process.WaitForExit(10000)) m_process.Kill();
            m_process.Dispose();
            if (m_socketPath != null && File.Exists(m_socketPath)) File.Delete(m_socketPath);
        }
    }

    // Captures standard output for its lifetime.
    public sealed class ConsoleCapture : IDisposable
    {
        private readonly TextWriter m_previous = Console.Out;
        private readonly StringWriter m_text = new StringWriter();

        public ConsoleCapture()
        {
            m_text.NewLine = "\n";
            Console.SetOut(TextWriter.Synchronized(m_text));
        }

        public string Text
        {
            get { return m_text.ToString(); }
        }

        public void Dispose()
        {
            Console.SetOut(m_previous);
        }
    }
}
