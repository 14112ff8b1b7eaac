// KVXSession against the simulated daemon: it follows a replug under a new
// handle and stops calling once disposed.
using System;
using System.Collections.Generic;
using System.IO;
using System.Threading;
using KVXSessionWrapper;
using NUnit.Framework;

namespace KVXManagedTests
{
    public class RecordingSessionDelegate : KVXSessionDelegate
    {
        public readonly List<string> States = new List<string>();
        public int Frames;

        public void newImage(Stream data, uint size, string mimetype)
        {
            Interlocked.Increment(ref Frames);
        }

        public void stateChanged(KVXSessionState state, KVXSessionReason reason, string url, int handle,
                                 int httpStatus)
        {
            lock (States) States.Add(state + "/" + reason + " " + url + " " + handle);
        }

        public string Last
        {
            get { lock (States) return States.Count == 0 ? string.Empty : States[States.Count - 1]; }
        }
    }

    [TestFixture]
    public class SessionTests
    {
        private static TestHost Host
        {
            get { return TestRun.Host; }
        }

        [Test]
        public void FollowsAReplugAndEndsWhenDisposed()
        {
            int port;
            Host.StartApp(0, 512, 50, "Session Phone", out port);
            Host.Command("map session-phone 8099 " + port);
            var recorder = new RecordingSessionDelegate();
            int first, second;
            using (var session = new KVXSession("session phone", "managed-tests"))
            {
                session.sessionDelegate = recorder;
                session.deliverLatestOnly = true;
                session.start();
                Assert.Throws<InvalidOperationException>(() => session.deliverLatestOnly = false);
                first = int.Parse(Host.Command("attach session-phone 0x1293").Substring(7));
                Assert.IsTrue(TestHost.WaitUntil(() => recorder.Frames >= 3, 20000), recorder.Last);
                int firstStream = recorder.Frames;
                Host.Command("detach session-phone");
                Assert.IsTrue(TestHost.WaitUntil(() => recorder.Last.StartsWith("Reconnecting/Detached"), 20000),
                              recorder.Last);
                second = int.Parse(Host.Command("attach session-phone 0x1293").Substring(7));
                Assert.IsTrue(TestHost.WaitUntil(() => recorder.Last.StartsWith("Streaming/None"), 20000),
                              recorder.Last);
                Assert.IsTrue(TestHost.WaitUntil(() => recorder.Frames >= firstStream + 3, 20000));
                Assert.AreEqual(KVXSessionState.Streaming, session.state);
                Assert.AreEqual(second, session.handle);
                Assert.AreEqual("http://session-phone:8099/", session.url);
                Assert.AreEqual("session-phone", session.device);
                // Summed across the resume.
                int seen = recorder.Frames;
                Assert.GreaterOrEqual(session.GetStats().FramesDelivered, (ulong)seen);
            }
            string url = " http://session-phone:8099/ ";
            CollectionAssert.AreEqual(new[] {
                "Searching/None  0", "Streaming/None" + url + first, "Reconnecting/Detached" + url + first,
                "Streaming/None" + url + second, "Ended/Aborted" + url + second }, recorder.States);
            int frames = recorder.Frames;
            Thread.Sleep(200);
            Assert.AreEqual(frames, recorder.Frames);
            Host.Command("detach session-phone");
        }
    }
}
