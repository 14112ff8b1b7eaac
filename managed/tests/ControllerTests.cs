// KVXUSBController through the real usbmux client library against the
// simulated daemon, with app doubles behind the device ports; and a device
// streamed through the tunnel of a discovered app.
using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Diagnostics;
using System.Linq;
using System.Threading;
using KVXDeviceWrapper;
using KVXUSBControllerWrapper;
using NUnit.Framework;

namespace KVXManagedTests
{
    public class RecordingControllerDelegate : KVXUSBControllerDelegate
    {
        private readonly List<string> m_events = new List<string>();
        public Action OnFound;

        public void OnUSBDeviceFound(string name, int handle, string url)
        {
            lock (m_events) m_events.Add("found " + name + " " + handle + " " + url);
            if (OnFound != null) OnFound();
        }

        public void OnUSBDeviceRemoved(string url)
        {
            lock (m_events) m_events.Add("removed " + url);
        }

        public List<string> Events
        {
            get { lock (m_events) return new List<string>(m_events); }
        }
    }

    [TestFixture]
    public class ControllerTests
    {
        private static TestHost Host
        {
            get { return TestRun.Host; }
        }

        // An app named `name` behind port 8099 of device `id`; the handle.
        private static int AttachDeviceWithApp(string id, string name, out int app)
        {
            int port;
            app = Host.StartApp(0, 256, 100, name, out port);
            Host.Command("map " + id + " 8099 " + port);
            return int.Parse(Host.Command("attach " + id + " 0x1293").Substring(7));
        }

        [Test]
        public void TheStateFollowsTheDaemonAndEachChangeIsAnnounced()
        {
            var seen = new List<KVXUSBControllerState>();
            using (var controller = new KVXUSBController())
            {
                controller.stateChanged += state => { lock (seen) seen.Add(state); };
                Assert.AreEqual(Environment.GetEnvironmentVariable("USBMUXD_SOCKET_ADDRESS"), controller.daemonAddress);
                Assert.IsTrue(TestHost.WaitUntil(() => controller.state == KVXUSBControllerState.Connected, 8000));
                Host.Command("listener stop");
                try
                {
                    Assert.IsTrue(TestHost.WaitUntil(
                        () => controller.state == KVXUSBControllerState.DaemonUnreachable, 15000));
                }
                finally
                {
                    Host.Command("listener start");
                }
                Assert.IsTrue(TestHost.WaitUntil(() => controller.state == KVXUSBControllerState.Connected, 8000));
                Assert.IsTrue(TestHost.WaitUntil(() => { lock (seen) return seen.Count >= 2; }, 5000));
                lock (seen)
                {
                    CollectionAssert.AreEqual(
                        new[] { KVXUSBControllerState.DaemonUnreachable, KVXUSBControllerState.Connected },
                        seen.Skip(seen.Count - 2).ToArray());
                }
            }
        }

        [Test]
        public void AFoundAppReachesTheDelegateWithNameHandleAndUrl()
        {
            var recorder = new RecordingControllerDelegate();
            using (var controller = new KVXUSBController())
            {
                controller.controllerDelegate = recorder;
                int app;
                int handle = AttachDeviceWithApp("managed-a", "Phone \u00e9", out app);
                Assert.IsTrue(TestHost.WaitUntil(() => recorder.Events.Count >= 1, 30000));
                Assert.AreEqual("found Phone \u00e9 " + handle + " http://managed-a:8099/", recorder.Events[0]);
                Host.Command("detach managed-a");
                Assert.IsTrue(TestHost.WaitUntil(() => recorder.Events.Count >= 3, 30000));
                CollectionAssert.AreEqual(new[] { "removed http://managed-a:8099/", "removed http://managed-a:8100/" },
                                          recorder.Events.Skip(1).ToArray());
            }
        }

        // Discovery runs from construction on: a delegate set after an app
        // was found hears it all the same, once.
        [Test]
        public void ADelegateSetLateHearsTheAppsAlreadyFoundOnce()
        {
            var recorder = new RecordingControllerDelegate();
            using (var controller = new KVXUSBController())
            {
                int app;
                int handle = AttachDeviceWithApp("managed-b", "Early", out app);
                // The probe's HTTP connection is closed, its kept tunnel stays.
                Assert.IsTrue(TestHost.WaitUntil(() => Host.Count("requests", app) >= 1 && Host.Count("open", app) == 1, 30000));
                Thread.Sleep(200);
                controller.controllerDelegate = recorder;
                Assert.IsTrue(TestHost.WaitUntil(() => recorder.Events.Count >= 1, 30000));
                Thread.Sleep(2200);  // two more probe passes
                Host.Command("detach managed-b");
                Assert.IsTrue(TestHost.WaitUntil(() => recorder.Events.Count >= 3, 30000));
                CollectionAssert.AreEqual(new[] { "found Early " + handle + " http://managed-b:8099/",
                                                  "removed http://managed-b:8099/", "removed http://managed-b:8100/" },
                                          recorder.Events);
            }
        }

        // start from inside a notification while another thread disposes:
        // Dispose waits for the notification, so start must not wait for it.
        [Test]
        public void StartFromANotificationWhileAnotherThreadDisposesDoesNotHang()
        {
            var recorder = new RecordingControllerDelegate();
            var inside = new ManualResetEvent(false);
            var release = new ManualResetEvent(false);
            var controller = new KVXUSBController();
            int acted = 0;
            recorder.OnFound = () =>
            {
                if (Interlocked.Exchange(ref acted, 1) == 1) return;
                inside.Set();
                release.WaitOne(30000);
                controller.start();
            };
            controller.controllerDelegate = recorder;
            int app;
            AttachDeviceWithApp("managed-s", "Restart", out app);
            Assert.IsTrue(inside.WaitOne(30000));
            var disposer = new Thread(controller.Dispose) { IsBackground = true };
            disposer.Start();
            Thread.Sleep(200);  // the disposer now waits for the notification
            release.Set();
            Assert.IsTrue(disposer.Join(30000), "Dispose and start wait for each other");
            Host.Command("detach managed-s");
        }

        [Test]
        public void StartChangesNothingAndAbortThenDisposeWritesTheTeardownLines()
        {
            var recorder = new RecordingControllerDelegate();
            using (var capture = new ConsoleCapture())
            {
                var controller = new KVXUSBController();
                controller.controllerDelegate = recorder;
                controller.start();
                controller.start();
                int app;
                AttachDeviceWithApp("managed-c", "Started", out app);
                Assert.IsTrue(TestHost.WaitUntil(() => recorder.Events.Count >= 1, 30000));
                Thread.Sleep(1200);
                Assert.AreEqual(1, recorder.Events.Count, "found once");
                controller.abort();
                controller.Dispose();
                controller.Dispose();
                Host.Command("detach managed-c");
                Thread.Sleep(200);
                Assert.AreEqual(1, recorder.Events.Count, "nothing after disposal");
                string[] lines = capture.Text.Split('\n').Where(l => !l.StartsWith("Device attached")).ToArray();
                CollectionAssert.AreEqual(new[] {
                    "Constructing KVXUSBController", "Calling KVXUSBController::start", "Calling KVXUSBController::start",
                    "Calling KVXUSBController::abort", "Destructing", "Calling KVXUSBController::abort", "" }, lines);
            }
        }

        [Test]
        public void AbortAndDisposeInsideANotificationAreRefusedAndExceptionsContained()
        {
            var recorder = new RecordingControllerDelegate();
            var refusals = new List<Exception>();
            using (var controller = new KVXUSBController())
            {
                recorder.OnFound = () =>
                {
                    foreach (Action call in new Action[] { controller.abort, controller.Dispose })
                    {
                        try
                        {
                            call();
                        }
                        catch (InvalidOperationException error)
                        {
                            lock (refusals) refusals.Add(error);
                        }
                    }
                    throw new ApplicationException("application fault");
                };
                controller.controllerDelegate = recorder;
                int app;
                AttachDeviceWithApp("managed-d", "Inside", out app);
                Assert.IsTrue(TestHost.WaitUntil(() => recorder.Events.Count >= 1, 30000));
                Host.Command("detach managed-d");
                // Discovery survived the exception and the refused calls.
                Assert.IsTrue(TestHost.WaitUntil(() => recorder.Events.Count >= 3, 30000));
            }
            Assert.AreEqual(2, refusals.Count);
        }

        [Test]
        public void ADiscoveredAppStreamsThroughItsTunnel()
        {
            var found = new RecordingControllerDelegate();
            string url = null;
            int handle = 0;
            using (var controller = new KVXUSBController())
            {
                controller.controllerDelegate = found;
                int app;
                AttachDeviceWithApp("managed-e", "Streamer", out app);
                Assert.IsTrue(TestHost.WaitUntil(() => found.Events.Count >= 1, 30000));
                string[] parts = found.Events[0].Split(' ');
                handle = int.Parse(parts[2]);
                url = parts[3];
                var frames = new RecordingDeviceDelegate();
                using (var device = new KVXDevice(new List<string> { url }, handle))
                {
                    device.deviceDelegate = frames;
                    device.start("tunnel");
                    Assert.IsTrue(TestHost.WaitUntil(() => frames.FrameCount >= 10, 30000));
                    device.abort();
                }
                Assert.AreEqual(256L, frames.Streams[0].Length);
                Assert.AreEqual(TestHost.PatternByte(0, 5), ((System.IO.MemoryStream)frames.Streams[0]).ToArray()[5]);
                Host.Command("detach managed-e");
            }
        }

        // A separate Mono process (KVXExitProbe.exe) whose controller hears a
        // detach and is disposed must then end by itself: the detach reaches
        // managed code only on the controller's own dispatcher, which Dispose
        // joins, and never on the usbmux event thread, which lives as long as
        // the process and which the runtime would wait for at exit.
        [Test]
        public void AProcessThatHeardADetachExitsByItself()
        {
            string mono = Environment.GetEnvironmentVariable("KVX_MONO");
            string probe = Environment.GetEnvironmentVariable("KVX_EXIT_PROBE");
            if (string.IsNullOrEmpty(mono) || string.IsNullOrEmpty(probe)) Assert.Ignore("KVX_MONO or KVX_EXIT_PROBE is not set");
            var info = new ProcessStartInfo(mono, "\"" + probe + "\"");
            info.UseShellExecute = false;
            info.RedirectStandardOutput = true;
            info.RedirectStandardError = true;
            // The child inherits USBMUXD_SOCKET_ADDRESS (the test host's daemon).
            var lines = new BlockingCollection<string>();
            using (var child = Process.Start(info))
            {
                var reader = new Thread(() =>
                {
                    string line;
                    while ((line = child.StandardOutput.ReadLine()) != null) lines.Add(line);
                    lines.CompleteAdding();
                });
                reader.IsBackground = true;
                reader.Start();
                child.ErrorDataReceived += (sender, e) => { };
                child.BeginErrorReadLine();
                try
                {
                    // Native output may share a line with ours: match by content.
                    Func<string, bool> waitFor = text =>
                    {
                        string line;
                        var clock = Stopwatch.StartNew();
                        while (clock.ElapsedMilliseconds < 30000)
                        {
                            if (!lines.TryTake(out line, 200))
                            {
                                if (lines.IsCompleted) return false;
                                continue;
                            }
                            if (line.Contains(text)) return true;
                        }
                        return false;
                    };
                    Assert.IsTrue(waitFor("ready"), "the probe did not start");
                    int app;
                    AttachDeviceWithApp("managed-x", "Exiting", out app);
                    Assert.IsTrue(waitFor("found http://managed-x:8099/"), "the probe did not find the app");
                    Host.Command("detach managed-x");
                    Assert.IsTrue(waitFor("removed http://managed-x:8099/"), "the probe did not hear the detach");
                    Assert.IsTrue(waitFor("done"), "the probe did not leave Main");
                    Assert.IsTrue(child.WaitForExit(30000), "the Mono process did not exit after Main returned");
                    Assert.AreEqual(0, child.ExitCode);
                }
                finally
                {
                    if (!child.HasExited) child.Kill();
                }
            }
        }
    }
}
