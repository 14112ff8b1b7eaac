// KVXDevice against the companion-app double over loopback TCP (handle 0).
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Threading;
using KVXDeviceWrapper;
using KVXUSBControllerWrapper;
using NUnit.Framework;

namespace KVXManagedTests
{
    // Records what a device hands over; optionally acts from inside newImage.
    public class RecordingDeviceDelegate : KVXDeviceDelegate
    {
        public readonly List<Stream> Streams = new List<Stream>();
        public readonly List<uint> Sizes = new List<uint>();
        public readonly List<string> Types = new List<string>();
        public readonly List<long> PositionsAtReceipt = new List<long>();
        public int Disconnections;
        public Action<Stream> OnFrame;

        public void newImage(Stream data, uint size, string mimetype)
        {
            lock (this)
            {
                Streams.Add(data);
                Sizes.Add(size);
                Types.Add(mimetype);
                PositionsAtReceipt.Add(data.Position);
            }
            if (OnFrame != null) OnFrame(data);
        }

        public void disconnected()
        {
            Interlocked.Increment(ref Disconnections);
        }

        public int FrameCount
        {
            get { lock (this) return Streams.Count; }
        }
    }

    [TestFixture]
    public class DeviceTests
    {
        private static TestHost Host
        {
            get { return TestRun.Host; }
        }

        private static List<string> Url(int port)
        {
            return new List<string> { "http://127.0.0.1:" + port + "/stream" };
        }

        [Test]
        public void FramesArriveAsIndependentCopiesOfLengthSizePositionedAtZero()
        {
            int port;
            Host.StartApp(6, 5000, 0, "Frames", out port);
            var recorder = new RecordingDeviceDelegate();
            using (var device = new KVXDevice(Url(port), 0))
            {
                device.deviceDelegate = recorder;
                device.start("managed-test");
                Assert.IsTrue(TestHost.WaitUntil(() => recorder.Disconnections == 1, 30000));
            }
            Assert.AreEqual(6, recorder.FrameCount);
            for (int seq = 0; seq < 6; ++seq)
            {
                Stream stream = recorder.Streams[seq];
                Assert.AreEqual(5000u, recorder.Sizes[seq]);
                Assert.AreEqual(5000L, stream.Length);
                Assert.AreEqual(0L, recorder.PositionsAtReceipt[seq]);
                Assert.AreEqual("image/rgb", recorder.Types[seq]);
                // Read after every later frame has arrived and the device is
                // gone: the bytes are still those of this frame.
                var bytes = new byte[5000];
                stream.Position = 0;
                Assert.AreEqual(5000, stream.Read(bytes, 0, bytes.Length));
                for (int i = 0; i < bytes.Length; ++i)
                {
                    if (bytes[i] != TestHost.PatternByte(seq, i)) Assert.Fail("frame {0} byte {1}", seq, i);
                }
                // Fixed length: the application cannot grow it by mistake.
                Assert.Throws<NotSupportedException>(() => stream.SetLength(5001));
            }
            Assert.IsFalse(ReferenceEquals(recorder.Streams[0], recorder.Streams[1]));
        }

        [Test]
        public void WhyTheStreamEndedIsKept()
        {
            int port;
            Host.StartApp(2, 100, 0, "Ends", out port);
            var ended = new RecordingDeviceDelegate();
            var refused = new RecordingDeviceDelegate();
            using (var device = new KVXDevice(Url(port), 0))
            using (var nobody = new KVXDevice(new List<string> { "http://127.0.0.1:1/" }, 0))
            {
                Assert.IsFalse(device.hasEnded);
                device.deviceDelegate = ended;
                nobody.deviceDelegate = refused;
                device.start("why");
                nobody.start("why");
                Assert.IsTrue(TestHost.WaitUntil(() => ended.Disconnections == 1 && refused.Disconnections == 1, 10000));
                Assert.IsTrue(device.hasEnded);
                Assert.AreEqual("NPT_ERROR_EOS", device.lastResultName);
                Assert.AreEqual(200, device.httpStatus);
                Assert.AreEqual("multipart/x-mixed-replace; boundary=frame", device.contentType);
                Assert.AreEqual("NPT_ERROR_CONNECTION_REFUSED", nobody.lastResultName);
                Assert.AreEqual(0, nobody.httpStatus);
                Assert.AreEqual("", nobody.contentType);
            }
        }

        [Test]
        public void ConsoleLinesOfConstructionStartAndAbort()
        {
            int port;
            int app = Host.StartApp(1, 10, 0, "Lines", out port);
            using (var capture = new ConsoleCapture())
            {
                var device = new KVXDevice(Url(port), 0);
                device.start("h\u00e9te one");
                Assert.IsTrue(TestHost.WaitUntil(() => Host.Count("requests", app) == 1, 30000));
                device.abort();
                device.Dispose();
                Assert.AreEqual("Constructing KVXDevice\nCalling start with hostName:h\u00e9te one\nCalling abort\nDestructing\n",
                                capture.Text);
            }
            // One switch for the whole library, off: the host's output is its own.
            KVXDevice.consoleOutput = false;
            try
            {
                using (var capture = new ConsoleCapture())
                {
                    new KVXDevice(Url(port), 0).Dispose();
                    new KVXUSBController().Dispose();
                    Assert.IsFalse(KVXUSBController.consoleOutput);
                    Assert.AreEqual("", capture.Text);
                }
            }
            finally
            {
                KVXDevice.consoleOutput = true;
            }
            Assert.AreEqual("h\u00e9te one", Host.Command("client " + app));
        }

        [Test]
        public void WithoutADelegateFramesAreDroppedSilently()
        {
            int port;
            int app = Host.StartApp(20, 1000, 0, "NoDelegate", out port);
            using (var device = new KVXDevice(Url(port), 0))
            {
                device.start("x");
                Assert.IsTrue(TestHost.WaitUntil(() => Host.Count("frames", app) == 20 && Host.Count("open", app) == 0, 30000));
            }
        }

        [Test]
        public void AbortWhileStreamingGivesNoDisconnected()
        {
            int port;
            int app = Host.StartApp(0, 2000, 200, "Abort", out port);
            var recorder = new RecordingDeviceDelegate();
            using (var device = new KVXDevice(Url(port), 0))
            {
                device.deviceDelegate = recorder;
                device.start("x");
                Assert.IsTrue(TestHost.WaitUntil(() => recorder.FrameCount >= 3, 30000));
                device.abort();
                Assert.IsTrue(TestHost.WaitUntil(() => Host.Count("open", app) == 0, 30000));
                int atAbort = recorder.FrameCount;
                Thread.Sleep(200);
                Assert.LessOrEqual(recorder.FrameCount, atAbort + 1);
            }
            Assert.AreEqual(0, recorder.Disconnections);
        }

        [Test]
        public void DisposingTwiceWritesDestructingTwiceAndNothingElse()
        {
            var device = new KVXDevice(new List<string> { "http://127.0.0.1:1/" }, 0);
            using (var capture = new ConsoleCapture())
            {
                device.Dispose();
                device.Dispose();
                Assert.AreEqual("Destructing\nDestructing\n", capture.Text);
                // Calls after disposal are harmless.
                device.start("late");
                device.abort();
            }
        }

        [Test]
        public void ASecondStartStartsNoSecondRun()
        {
            int port;
            int app = Host.StartApp(2, 100, 0, "Twice", out port);
            var recorder = new RecordingDeviceDelegate();
            using (var device = new KVXDevice(Url(port), 0))
            {
                device.deviceDelegate = recorder;
                device.start("first");
                Assert.IsTrue(TestHost.WaitUntil(() => recorder.Disconnections == 1, 30000));
                device.start("second");
                Thread.Sleep(300);
            }
            Assert.AreEqual(1L, Host.Count("requests", app));
            Assert.AreEqual(2, recorder.FrameCount);
            Assert.AreEqual(1, recorder.Disconnections);
        }

        [Test]
        public void OnlyTheSecondOfTwoUrlsAnswers()
        {
            int port;
            Host.StartApp(3, 64, 0, "Second", out port);
            var recorder = new RecordingDeviceDelegate();
            var urls = new List<string> { "http://127.0.0.1:1/nothing-here", "http://127.0.0.1:" + port + "/" };
            using (var device = new KVXDevice(urls, 0))
            {
                device.deviceDelegate = recorder;
                device.start("x");
                Assert.IsTrue(TestHost.WaitUntil(() => recorder.Disconnections == 1, 30000));
            }
            Assert.AreEqual(3, recorder.FrameCount);
        }

        [Test]
        public void ExceptionsFromTheDelegateAreContainedAndTheStreamGoesOn()
        {
            int port;
            Host.StartApp(5, 100, 0, "Throws", out port);
            var recorder = new RecordingDeviceDelegate();
            recorder.OnFrame = data => { throw new ApplicationException("application fault"); };
            using (var device = new KVXDevice(Url(port), 0))
            {
                device.deviceDelegate = recorder;
                device.start("x");
                Assert.IsTrue(TestHost.WaitUntil(() => recorder.Disconnections == 1, 30000));
            }
            Assert.AreEqual(5, recorder.FrameCount);
        }

        [Test]
        public void DisposeFromNewImageIsRefusedAndAbortThereWorks()
        {
            int port;
            int app = Host.StartApp(0, 100, 200, "Inside", out port);
            var recorder = new RecordingDeviceDelegate();
            Exception refused = null;
            int acted = 0;
            using (var device = new KVXDevice(Url(port), 0))
            {
                recorder.OnFrame = data =>
                {
                    if (Interlocked.Exchange(ref acted, 1) == 1) return;
                    try
                    {
                        device.Dispose();
                    }
                    catch (InvalidOperationException error)
                    {
                        refused = error;
                    }
                    device.abort();
                };
                device.deviceDelegate = recorder;
                device.start("x");
                Assert.IsTrue(TestHost.WaitUntil(() => acted == 1 && Host.Count("open", app) == 0, 30000));
            }
            Assert.IsNotNull(refused);
            Assert.AreEqual(0, recorder.Disconnections);
        }

        // A start from inside newImage while another thread disposes: the
        // disposing thread waits for this callback, so start must not wait
        // for the disposing thread.
        [Test]
        public void StartFromNewImageWhileAnotherThreadDisposesDoesNotHang()
        {
            int port;
            Host.StartApp(0, 100, 200, "Restart", out port);
            var recorder = new RecordingDeviceDelegate();
            var inside = new ManualResetEvent(false);
            var release = new ManualResetEvent(false);
            int acted = 0;
            var device = new KVXDevice(Url(port), 0);
            recorder.OnFrame = data =>
            {
                if (Interlocked.Exchange(ref acted, 1) == 1) return;
                inside.Set();
                release.WaitOne(30000);
                device.start("again");
            };
            device.deviceDelegate = recorder;
            device.start("x");
            Assert.IsTrue(inside.WaitOne(30000));
            var disposer = new Thread(device.Dispose) { IsBackground = true };
            disposer.Start();
            Thread.Sleep(200);  // the disposer now waits for the worker
            release.Set();
            Assert.IsTrue(disposer.Join(30000), "Dispose and start wait for each other");
            Assert.AreEqual(0, recorder.Disconnections);
        }

        private static int CountEntries(string directory)
        {
            return Directory.GetFileSystemEntries(directory).Length;
        }

        private static long ResidentKiB()
        {
            foreach (string line in File.ReadAllLines("/proc/self/status"))
            {
                if (line.StartsWith("VmRSS:")) return long.Parse(line.Split(new[] { ' ', '\t' }, StringSplitOptions.RemoveEmptyEntries)[1]);
            }
            return 0;
        }

        [Test]
        public void AThousandCreateStartAbortDisposeCyclesLeakNothing()
        {
            int port;
            int app = Host.StartApp(0, 1000, 500, "Loop", out port);
            var recorder = new RecordingDeviceDelegate();
            TextWriter previous = Console.Out;
            Console.SetOut(TextWriter.Null);
            try
            {
                Action cycle = () =>
                {
                    var device = new KVXDevice(Url(port), 0);
                    device.deviceDelegate = recorder;
                    device.start("loop");
                    device.abort();
                    device.Dispose();
                };
                for (int i = 0; i < 50; ++i) cycle();  // warm-up: JIT, thread attach, pools
                Assert.IsTrue(TestHost.WaitUntil(() => Host.Count("open", app) == 0, 30000));
                GC.Collect();
                GC.WaitForPendingFinalizers();
                int threads = CountEntries("/proc/self/task");
                int descriptors = CountEntries("/proc/self/fd");
                long managed = GC.GetTotalMemory(true);
                long resident = ResidentKiB();
                for (int i = 0; i < 1000; ++i)
                {
                    // The app double serves at most 64 connections and closes
                    // any more unanswered (the run would then end with
                    // disconnected); it retires ours as fast as a loaded
                    // machine lets it.
                    if (i % 16 == 0) Assert.IsTrue(TestHost.WaitUntil(() => Host.Count("open", app) == 0, 30000));
                    cycle();
                }
                Assert.IsTrue(TestHost.WaitUntil(() => Host.Count("open", app) == 0, 30000));
                GC.Collect();
                GC.WaitForPendingFinalizers();
                Assert.IsTrue(TestHost.WaitUntil(() => CountEntries("/proc/self/task") <= threads, 30000),
                              "threads: {0} before, {1} after", threads, CountEntries("/proc/self/task"));
                Assert.AreEqual(descriptors, CountEntries("/proc/self/fd"));
                Assert.Less(GC.GetTotalMemory(true) - managed, 2L << 20);
                Assert.Less(ResidentKiB() - resident, 16L << 10, "resident memory grew by more than 16 MiB");
                Assert.AreEqual(0, recorder.Disconnections);
            }
            finally
            {
                Console.SetOut(previous);
            }
        }
    }
}
