// Copy-free frames (KVXFrameDelegate), latest-frame delivery and the frame
// counters of KVXDevice, against the companion-app double over loopback TCP.
using System;
using System.Collections.Generic;
using System.IO;
using System.Threading;
using KVXDeviceWrapper;
using NUnit.Framework;

namespace KVXManagedTests
{
    // Checks each frame during its call and keeps it, and a stream opened on
    // it, for use after the call.
    public class FrameRecorder : KVXFrameDelegate, KVXDeviceDelegate
    {
        public readonly List<KVXFrame> Frames = new List<KVXFrame>();
        public readonly List<Stream> Streams = new List<Stream>();
        public readonly List<ulong> Numbers = new List<ulong>();
        public readonly List<string> Faults = new List<string>();
        public int Disconnections;
        public int Images;
        public int SleepMs;
        private readonly byte[] m_reused = new byte[1 << 16];

        public void newFrame(KVXFrame frame)
        {
            ulong number = frame.Number;
            int size = (int)frame.Size;
            frame.CopyTo(m_reused, 7);
            Check(number, m_reused, 7, size, "CopyTo");
            var read = new byte[size];
            Stream stream = frame.OpenRead();
            int got = 0, n;
            while ((n = stream.Read(read, got, Math.Min(1000, size - got))) > 0) got += n;
            if (got != size || stream.Length != size) Fault(number, "stream of " + got + " bytes");
            Check(number, read, 0, size, "OpenRead");
            if (frame.MimeType != "image/rgb") Fault(number, frame.MimeType);
            try
            {
                frame.CopyTo(new byte[size + 2], 3);
                Fault(number, "CopyTo past the end of the array did not throw");
            }
            catch (ArgumentException)
            {
            }
            lock (this)
            {
                Frames.Add(frame);
                Streams.Add(stream);
                Numbers.Add(number);
            }
            if (SleepMs > 0) Thread.Sleep(SleepMs);
        }

        public void newImage(Stream data, uint size, string mimetype)
        {
            Interlocked.Increment(ref Images);
        }

        public void disconnected()
        {
            Interlocked.Increment(ref Disconnections);
        }

        private void Check(ulong number, byte[] bytes, int offset, int size, string how)
        {
            for (int i = 0; i < size; ++i)
            {
                if (bytes[offset + i] != TestHost.PatternByte((long)number, i))
                {
                    Fault(number, how + " byte " + i);
                    return;
                }
            }
        }

        private void Fault(ulong number, string what)
        {
            lock (this) Faults.Add("frame " + number + ": " + what);
        }
    }

    [TestFixture]
    public class FrameTests
    {
        private static List<string> Url(int port)
        {
            return new List<string> { "http://127.0.0.1:" + port + "/stream" };
        }

        [Test]
        public void FramesAreReadableDuringTheirCallOnlyAndTheArrayApiIsNotUsed()
        {
            int port;
            TestRun.Host.StartApp(5, 5000, 0, "Frames", out port);
            var recorder = new FrameRecorder();
            using (var device = new KVXDevice(Url(port), 0))
            {
                device.frameDelegate = recorder;
                device.deviceDelegate = recorder;  // one object for both: one disconnected
                device.start("frames");
                Assert.IsTrue(TestHost.WaitUntil(() => recorder.Disconnections >= 1, 30000));
                Thread.Sleep(100);
                KVXDeviceStats stats = device.GetStats();
                Assert.AreEqual(5UL, stats.FramesReceived);
                Assert.AreEqual(5UL, stats.FramesDelivered);
                Assert.AreEqual(0UL, stats.FramesDropped);
                Assert.AreEqual(25000UL, stats.BytesReceived);
            }
            CollectionAssert.IsEmpty(recorder.Faults);
            Assert.AreEqual(new List<ulong> { 0, 1, 2, 3, 4 }, recorder.Numbers);
            Assert.AreEqual(0, recorder.Images);
            Assert.AreEqual(1, recorder.Disconnections);
            var buffer = new byte[5000];
            foreach (KVXFrame frame in recorder.Frames)
            {
                Assert.Throws<ObjectDisposedException>(() => { var size = frame.Size; });
                Assert.Throws<ObjectDisposedException>(() => { var type = frame.MimeType; });
                Assert.Throws<ObjectDisposedException>(() => { var number = frame.Number; });
                Assert.Throws<ObjectDisposedException>(() => frame.CopyTo(buffer, 0));
                Assert.Throws<ObjectDisposedException>(() => frame.OpenRead());
            }
            foreach (Stream stream in recorder.Streams)
            {
                Assert.IsFalse(stream.CanRead);
                Assert.Throws<ObjectDisposedException>(() => stream.Read(buffer, 0, 10));
                Assert.Throws<ObjectDisposedException>(() => { var length = stream.Length; });
            }
        }

        [Test]
        public void LatestOnlyGivesASlowConsumerTheNewestFramesAndCountsTheRest()
        {
            int port;
            TestRun.Host.StartApp(60, 10000, 60, "Latest", out port);
            var recorder = new FrameRecorder();
            recorder.SleepMs = 100;
            var device = new KVXDevice(Url(port), 0);
            try
            {
                Assert.IsFalse(device.deliverLatestOnly);
                device.deliverLatestOnly = true;
                device.frameDelegate = recorder;
                device.start("latest");
                Assert.Throws<InvalidOperationException>(() => device.deliverLatestOnly = false);
                Assert.IsTrue(device.deliverLatestOnly);
                Assert.IsTrue(TestHost.WaitUntil(() => recorder.Disconnections == 1, 30000));
                KVXDeviceStats stats = device.GetStats();
                CollectionAssert.IsEmpty(recorder.Faults);
                List<ulong> numbers = recorder.Numbers;
                Assert.AreEqual(59UL, numbers[numbers.Count - 1], "the last frame comes before disconnected");
                for (int i = 1; i < numbers.Count; ++i) Assert.Greater(numbers[i], numbers[i - 1]);
                Assert.AreEqual(60UL, stats.FramesReceived);
                Assert.AreEqual((ulong)numbers.Count, stats.FramesDelivered);
                Assert.AreEqual(60UL - (ulong)numbers.Count, stats.FramesDropped);
                Assert.Greater(stats.FramesDropped, 0UL);
                Assert.AreEqual(600000UL, stats.BytesReceived);
            }
            finally
            {
                device.Dispose();
            }
            Assert.AreEqual(0UL, device.GetStats().FramesReceived);
            Assert.Throws<ObjectDisposedException>(() => device.deliverLatestOnly = true);
        }
    }
}
