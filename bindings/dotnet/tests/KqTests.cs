// Tests of the .NET binding against the simulated reader (run under Mono).
// Usage: KqTests.exe PATH/TO/kq.h   with KQ_D2XX naming the simulated reader
// library, KQ_TRACE naming a trace file (the "nothing sent" checks read it),
// and both libraries on the library path. Exit code 0 = all passed.
// Built with -define:KQ_ASYNC_ENUMERABLE (as the binding) to test ReadAllAsync.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text.RegularExpressions;
using System.Threading;
using System.Threading.Tasks;
using Kq;

static class Sim
{
    const string L = "kqsim_d2xx";
    [DllImport(L)] public static extern void kqsim_reset();
    [DllImport(L)] public static extern void kqsim_set_timing(int realistic);
    [DllImport(L)] public static extern void kqsim_set_loop_interval(uint ms);
    [DllImport(L)] public static extern int kqsim_tag_add(string uid, uint blockSize, uint blockCount);
    [DllImport(L)] public static extern int kqsim_tag_remove(string uid);
    [DllImport(L)] public static extern int kqsim_tag_set_data(string uid, uint start, string text);
    [DllImport(L)] public static extern int kqsim_tag_get_data(string uid, uint start, uint count, byte[] buf, UIntPtr cap);
    [DllImport(L)] public static extern int kqsim_tag_set_sensor(string uid, uint threshold, string config);
    [DllImport(L)] public static extern UIntPtr kqsim_frame_count();
    [DllImport(L)] public static extern void kqsim_unplug();
    [DllImport(L)] public static extern void kqsim_ta_script(string cmd, byte status, string body);
    [DllImport(L)] public static extern void kqsim_replug();
    [DllImport(L)] public static extern int kqsim_device_add(string serial);
    [DllImport(L)] public static extern void kqsim_device_remove_all();
    [DllImport(L)] public static extern void kqsim_select_device(int index);
    [DllImport(L)] public static extern int kqsim_open_handles();
    [DllImport(L)] public static extern UIntPtr kqsim_call_count();
    [DllImport(L)] public static extern void kqsim_fail_call(int fn, uint status, uint skip, int times);
    public const int FT_CLOSE = 14; // enum kqsim_fn: KQSIM_FT_CLOSE

    public static ulong Calls() { return kqsim_call_count().ToUInt64(); }

    public static string Data(string uid, uint start, uint count)
    {
        var buf = new byte[2100];
        int n = kqsim_tag_get_data(uid, start, count, buf, new UIntPtr((uint)buf.Length));
        return n < 0 ? null : System.Text.Encoding.ASCII.GetString(buf, 0, n);
    }
}

static class Program
{
    const string A = "E004010000000001", B = "E004010000000002", S = "E0040100000000FF";
    static int failures, passedTests, failedTests;
    static string header;

    static void Check(bool ok, string what)
    {
        if (!ok)
        {
            failures++;
            Console.WriteLine("  FAILED: " + what);
        }
    }

    static void Equal<T>(T want, T got, string what)
    {
        Check(EqualityComparer<T>.Default.Equals(want, got), string.Format("{0}: want '{1}', got '{2}'", what, want, got));
    }

    static T Throws<T>(Action a, string what) where T : Exception
    {
        try { a(); }
        catch (T e) { return e; }
        catch (Exception e) { Check(false, what + ": threw " + e.GetType().Name + " " + e.Message); return null; }
        Check(false, what + ": nothing thrown");
        return null;
    }

    /// <summary>Throws exactly T (not a subclass: ObjectDisposedException is an
    /// InvalidOperationException, ArgumentOutOfRangeException an ArgumentException).</summary>
    static T ThrowsExactly<T>(Action a, string what) where T : Exception
    {
        var e = Throws<T>(a, what);
        if (e != null && e.GetType() != typeof(T))
            Check(false, what + ": threw " + e.GetType().Name + ", not " + typeof(T).Name);
        return e;
    }

    static long TraceSize()
    {
        string path = Environment.GetEnvironmentVariable("KQ_TRACE");
        return File.Exists(path) ? new FileInfo(path).Length : 0;
    }

    static void Field()
    {
        Sim.kqsim_reset();
        Sim.kqsim_set_timing(0);
        Sim.kqsim_set_loop_interval(20);
        Sim.kqsim_tag_add(A, 4, 64);
        Sim.kqsim_tag_add(B, 8, 32);
        Sim.kqsim_tag_set_sensor(S, 0x5A, "00A1B2C3");
        Sim.kqsim_tag_add(S, 4, 16);
        Sim.kqsim_tag_set_data(A, 0, "HELLO-KQ");
    }

    // ---- Declarations against kq.h -------------------------------------------------

    static void HeaderAgreement()
    {
        string text = File.ReadAllText(header);
        Equal(0, Native.LayoutMismatches().Count, "layout mismatches");
        var defines = Regex.Matches(text, @"^#define (KQ_OK|KQ_ERR_\w+) (\d+)\s", RegexOptions.Multiline)
                           .Cast<Match>().ToDictionary(m => int.Parse(m.Groups[2].Value), m => m.Groups[1].Value);
        Equal(defines.Count, KqConst.Names.Count, "number of result names");
        foreach (var kv in defines)
        {
            string name;
            Check(KqConst.Names.TryGetValue(kv.Key, out name) && name == kv.Value, "name of " + kv.Key);
            var field = typeof(KqConst).GetField(kv.Value);
            Check(field != null && (int)field.GetValue(null) == kv.Key, "constant " + kv.Value);
        }
        var exports = Regex.Matches(text, @"^KQ_EXPORT int KQ_API (KQ_\w+)\(", RegexOptions.Multiline)
                           .Cast<Match>().Select(m => m.Groups[1].Value).OrderBy(s => s).ToList();
        var declared = typeof(Native).GetMethods(BindingFlags.Public | BindingFlags.Static)
                           .Where(m => m.GetCustomAttributes(typeof(DllImportAttribute), false).Length > 0)
                           .Select(m => m.Name).OrderBy(s => s).ToList();
        Equal(28, exports.Count, "exports in kq.h"); // the 25 of 0.1 and the three of 0.2
        Check(exports.SequenceEqual(declared), "P/Invoke declarations = kq.h exports: " + string.Join(",", declared));
        Equal("reader status '3'", KqConst.ResultName(3, "KQ_SelectRead"), "3 outside the multi operations");
        Equal("KQ_ERR_NOBLOCKS", KqConst.ResultName(3, "KQ_MultiWrite"), "3 of a multi operation");
        var version = Regex.Match(text, "^#define KQ_VERSION_STRING \"([0-9.]+)\"", RegexOptions.Multiline).Groups[1].Value;
        Equal(version, Library.BindingVersion, "binding version = kq.h's");
        Equal(version, Library.Version, "loaded library's version");
        Equal(version, typeof(Reader).Assembly.GetName().Version.ToString(3), "assembly version");
        Equal("Data,LoopEnd,DeviceLost", string.Join(",", Enum.GetNames(typeof(LoopEventKind))), "event names");
    }

    // ---- Operations --------------------------------------------------------------------

    static void OneShotOperations()
    {
        Field();
        using (var r = new Reader(null, 300, 300).Open())
        {
            Equal("KQSIM0001", r.SerialNumber, "serial");
            Check(r.Inventory().SequenceEqual(new[] { A, B, S }), "inventory");
            Equal("HELLO-KQ", r.Read(A, 0, 2), "read");
            Equal("HELLO-KQ", r.Read(A.ToLowerInvariant(), 0, 2), "read with a lower-case UID");
            Check(r.IsOpen, "IsOpen");
            r.Write(B, 3, 2, "ABCDEFGH12345678");
            Equal("ABCDEFGH12345678", Sim.Data(B, 3, 2), "written");
            Equal(0x5A, r.Sensor(S), "sensor");
            var mr = r.MultiRead(0, 1);
            Equal(3, mr.TagCount, "multi-read tags");
            Equal("tags 3, done 3: " + A + "=HELL, " + B + "=00000000, " + S + "=0000", mr.ToString(), "MultiResult.ToString");
            Equal("HELLO-KQ".Substring(0, 4), mr.Tags[A], "multi-read text");
            var mw = r.MultiWrite(5, 1, new Dictionary<string, string> { { A, "WXYZ" } });
            Equal(1, mw.DoneCount, "multi-write done");
            Equal("WXYZ", Sim.Data(A, 5, 1), "multi-written");
            r.Beep(1);
        }
    }

    static void FailuresAndArgumentChecks()
    {
        Field();
        using (var r = new Reader().Open())
        {
            Sim.kqsim_tag_remove(B);
            var e = Throws<KqException>(() => r.Read(B, 0, 1), "read of an absent tag");
            if (e != null)
                Equal("reader status '2'", e.Name, "absent tag");

            // A 17-character UID is refused here, not cut to 16 and sent.
            ulong frames = Sim.kqsim_frame_count().ToUInt64();
            ulong calls = Sim.Calls();
            ThrowsExactly<ArgumentException>(() => r.Read(A + "7", 0, 1), "17-character UID");
            ThrowsExactly<ArgumentException>(() => r.Write(A.Substring(1), 0, 1, "ABCD"), "15-character UID");
            ThrowsExactly<ArgumentException>(() => r.Read("ZZZZZZZZZZZZZZZZ", 0, 1), "UID that is not hexadecimal");
            ThrowsExactly<ArgumentException>(() => r.Write(A, 0, 1, "AB\r\n"), "CR LF in a text");
            ThrowsExactly<ArgumentException>(() => r.Write(A, 0, 1, "ABCDE"), "5 characters for 1 block");
            ThrowsExactly<ArgumentException>(() => r.TagCommand(new string('X', 36)), "36-character command");
            ThrowsExactly<ArgumentException>(() => r.TagCommand("h\u00e9llo"), "non-ASCII command");
            ThrowsExactly<ArgumentException>(() => r.TagCommand(""), "empty command");
            ThrowsExactly<ArgumentNullException>(() => r.Read(null, 0, 1), "null UID");
            ThrowsExactly<ArgumentOutOfRangeException>(() => r.Sensor(S, 3), "channel 3");
            ThrowsExactly<ArgumentOutOfRangeException>(() => r.Sensor(S, 0, 256), "setting 256");
            ThrowsExactly<ArgumentOutOfRangeException>(() => r.Read(A, 255, 2), "blocks 255-256");
            ThrowsExactly<ArgumentOutOfRangeException>(() => r.Read(A, 0, 0), "count 0");
            ThrowsExactly<ArgumentOutOfRangeException>(() => r.Read(A, -1, 1), "start -1");
            ThrowsExactly<ArgumentOutOfRangeException>(() => r.Read(A, 256, 1), "start 256");
            ThrowsExactly<ArgumentOutOfRangeException>(() => r.MultiRead(0, 0), "multi-read of 0 blocks");
            ThrowsExactly<ArgumentOutOfRangeException>(() => r.Beep(256), "beep 256");
            ThrowsExactly<ArgumentOutOfRangeException>(() => r.StartMultiReadLoop(200, 57), "loop blocks 200-256");
            ThrowsExactly<ArgumentNullException>(() => r.MultiWrite(0, 1, null), "no texts");
            ThrowsExactly<ArgumentException>(() => r.MultiWrite(0, 1, new Dictionary<string, string>()), "no tags");
            ThrowsExactly<ArgumentException>(() => r.MultiWrite(0, 1, new Dictionary<string, string> { { A, "ABCD" }, { A.ToLowerInvariant(), "EFGH" } }), "a UID twice");
            ThrowsExactly<ArgumentOutOfRangeException>(() => new Reader(null, -1), "negative timeout");
            ThrowsExactly<ArgumentOutOfRangeException>(() => new Reader(null, 500, 500, false, 256), "buzzer time 256");
            Equal(frames, Sim.kqsim_frame_count().ToUInt64(), "frames sent for refused arguments");
            Equal(calls, Sim.Calls(), "driver calls for refused arguments");
        }
        var open = Throws<KqException>(() => new Reader("NO-SUCH-READER").Open(), "open of an unknown reader");
        if (open != null)
            Equal("KQ_ERR_USB", open.Name, "unknown reader");
    }

    // ---- Loop mode ------------------------------------------------------------------------

    static void LoopStoppedFromAnotherThread()
    {
        Field();
        using (var r = new Reader().Open())
        using (var loop = r.StartUidLoop())
        {
            var first = loop.Wait(5000);
            Check(first != null && first.Kind == LoopEventKind.Data, "first event is data");
            if (first != null)
            {
                Check(first.Uids.SequenceEqual(new[] { A, B, S }), "UIDs of the first event");
                Equal("Data [" + A + ", " + B + ", " + S + "]", first.ToString(), "LoopEvent.ToString");
            }
            Sim.kqsim_tag_remove(B);
            bool changed = false;
            for (int i = 0; i < 100 && !changed; i++)
            {
                var ev = loop.Wait(100);
                changed = ev != null && ((string[])ev.Result).SequenceEqual(new[] { A, S });
            }
            Check(changed, "the loop saw the tag leave");

            // The worker holds the unmanaged record: a stop from another
            // thread reaches it, and this thread sees the loop end.
            var stopper = new Thread(() => { Thread.Sleep(200); loop.Stop(); });
            var watch = System.Diagnostics.Stopwatch.StartNew();
            stopper.Start();
            LoopEvent last = null;
            foreach (var ev in loop.Events())
                last = ev;
            stopper.Join();
            Check(last != null && last.Kind == LoopEventKind.LoopEnd, "loop ended with LoopEnd");
            Equal("LoopEnd", last == null ? null : last.ToString(), "LoopEnd.ToString");
            Check(watch.ElapsedMilliseconds < 5000, "stopped in " + watch.ElapsedMilliseconds + " ms");
            Check(r.Inventory().SequenceEqual(new[] { A, S }), "one-shot inventory after the loop");
        }
    }

    static void TagCommandLoop()
    {
        Field();
        using (var r = new Reader().Open())
        {
            Sim.kqsim_ta_script("R0", (byte)'0', "00CAFE");
            using (var loop = r.StartTagCommandLoop("R0")) // answered at once: one event, no worker
            {
                var events = loop.Events().ToList();
                Check(events.Count == 1 && (string)events[0].Result == "CAFE", "tag command answered at once");
            }
            Sim.kqsim_ta_script("R1", (byte)'0', "07");
            using (var loop = r.StartTagCommandLoop("R1")) // refused: the worker retries
            {
                Sim.kqsim_ta_script("R1", (byte)'0', "00BEEF");
                var ev = loop.Wait(5000);
                Check(ev != null && (string)ev.Result == "BEEF", "tag command loop retried");
            }
        }
    }

    static void LoopEndsOnDeviceLoss()
    {
        Field();
        using (var r = new Reader().Open())
        using (var loop = r.StartMultiReadLoop(0, 2))
        {
            var first = loop.Wait(5000);
            Check(first != null && ((MultiResult)first.Result).Tags[A] == "HELLO-KQ", "multi-read loop data");
            Sim.kqsim_unplug();
            LoopEvent ev;
            do
                ev = loop.Wait(5000);
            while (ev != null && ev.Kind == LoopEventKind.Data);
            Check(ev != null && ev.Kind == LoopEventKind.DeviceLost, "device loss ends the loop");
            Check(loop.Finished, "finished");
        }
    }

    // ---- Closed means closed -------------------------------------------------------------

    static readonly Action<Reader>[] EveryOperation = {
        r => r.Inventory(), r => r.Read(A, 0, 1), r => r.Write(A, 0, 1, "ABCD"), r => r.MultiRead(0, 1),
        r => r.MultiWrite(0, 1, new Dictionary<string, string> { { A, "ABCD" } }), r => r.TagCommand("R0"),
        r => r.Sensor(S), r => r.Beep(1), r => r.CheckStatus(), r => r.StartUidLoop(), r => r.StartMultiReadLoop(0, 1),
        r => r.StartMultiWriteLoop(0, 1, new Dictionary<string, string> { { A, "ABCD" } }), r => r.StartTagCommandLoop("R0"),
    };

    static void ClosedMeansClosed()
    {
        Field();
        Check(Environment.GetEnvironmentVariable("KQ_TRACE") != null, "KQ_TRACE is set (the run sets it)");
        using (var never = new Reader())
        using (var closed = new Reader())
        {
            closed.Open();
            Check(closed.Inventory().Length == 3, "inventory while open");
            closed.Close();
            Check(!closed.IsOpen && !never.IsOpen, "IsOpen false");
            Equal(0, Sim.kqsim_open_handles(), "handles after Close");
            long trace = TraceSize();
            ulong calls = Sim.Calls();
            Check(trace > 0, "the trace file has the open's lines");
            foreach (var r in new[] { never, closed })
                for (int i = 0; i < EveryOperation.Length; i++)
                {
                    var op = EveryOperation[i];
                    var e = ThrowsExactly<InvalidOperationException>(() => op(r), "operation " + i + " on a reader that is not open");
                    if (e != null)
                        Check(e.Message.Contains("not open"), "message: " + e.Message);
                }
            Equal(trace, TraceSize(), "trace lines after Close (nothing sent)");
            Equal(calls, Sim.Calls(), "driver calls after Close");
            Equal(0, Sim.kqsim_open_handles(), "handles: the port stays free");
            using (var other = new Reader().Open())
                Check(other.Inventory().Length == 3, "another reader opens the port");
            Check(closed.Open().Inventory().Length == 3, "a closed reader opens again");
            Check(closed.Close() && closed.Close(), "Close twice");
        }
        var gone = new Reader();
        gone.Dispose();
        ThrowsExactly<ObjectDisposedException>(() => gone.Inventory(), "after Dispose");
        ThrowsExactly<ObjectDisposedException>(() => gone.Open(), "Open after Dispose");
    }

    static void OpenAndCloseSemantics()
    {
        Field();
        using (var r = new Reader().Open())
        {
            ulong calls = Sim.Calls();
            Check(r.Open() == r, "Open on an open reader returns it");
            Equal(calls, Sim.Calls(), "no second open or reset");
            Sim.kqsim_fail_call(Sim.FT_CLOSE, 4, 0, 1);
            Check(!r.Close(), "Close reports the driver's failure by its result");
            Check(!r.IsOpen, "closed all the same");
            Check(r.Open().Inventory().Length == 3, "Open releases the kept handle and opens afresh");
        }
        Equal(0, Sim.kqsim_open_handles(), "handles after Dispose");
        using (var r = new Reader().Open())
        {
            Sim.kqsim_unplug();
            var e = Throws<KqException>(() => r.Inventory(), "inventory of an unplugged reader");
            if (e != null)
                Equal("KQ_ERR_USB", e.Name, "unplugged");
            Check(r.Close(), "Close of a vanished reader succeeds");
        }
        Sim.kqsim_replug();
    }

    static void ListReaders()
    {
        Field();
        Check(Reader.ListReaders().SequenceEqual(new[] { "KQSIM0001" }), "one reader");
        Equal(1, Sim.kqsim_device_add("KQSIM0002"), "second device index");
        Sim.kqsim_select_device(1);
        Sim.kqsim_tag_add("E0040200000000B1", 4, 16);
        Sim.kqsim_select_device(0);
        var all = Reader.ListReaders();
        Check(all.SequenceEqual(new[] { "KQSIM0001", "KQSIM0002" }), "two readers: " + string.Join(",", all));
        using (var second = new Reader("KQSIM0002").Open())
        using (var first = new Reader("KQSIM0001").Open())
        {
            Check(second.Inventory().SequenceEqual(new[] { "E0040200000000B1" }), "the second reader's field");
            Equal(3, first.Inventory().Length, "the first reader's field");
        }
        Sim.kqsim_device_remove_all();
        Equal(0, Reader.ListReaders().Length, "no reader");
        var e = Throws<KqException>(() => new Reader().Open(), "open with no reader");
        if (e != null)
            Equal("KQ_ERR_SERIALNO", e.Name, "no first reader");
    }

    // ---- Loop events as an event, as tasks, as IAsyncEnumerable ----------------------------

    static void LoopEventsAndTasks()
    {
        Field();
        using (var r = new Reader().Open())
        {
            var seen = new List<LoopEvent>();
            var gotData = new ManualResetEvent(false);
            var gotEnd = new ManualResetEvent(false);
            using (var loop = r.StartUidLoop())
            {
                loop.EventReceived += (sender, e) => {
                    Check(sender == loop, "sender is the loop");
                    lock (seen)
                        seen.Add(e);
                    (e.Kind == LoopEventKind.Data ? gotData : gotEnd).Set();
                };
                Check(gotData.WaitOne(5000), "EventReceived raised for data");
                var next = loop.ReadEventAsync();
                Check(next.Wait(5000) && next.Result != null && next.Result.Uids.Length == 3, "ReadEventAsync");
                var stop = loop.StopAsync();
                Check(stop.Wait(5000), "StopAsync completes");
                Check(gotEnd.WaitOne(5000), "EventReceived raised for LoopEnd");
                LoopEvent last = null, e2;
                while ((e2 = loop.ReadEventAsync().Result) != null)
                    last = e2;
                Check(last != null && last.Kind == LoopEventKind.LoopEnd, "the queue ends with LoopEnd");
                Check(loop.ReadEventAsync().Result == null, "null after the end");
                lock (seen)
                    Check(seen.Last().Kind == LoopEventKind.LoopEnd && seen.Take(seen.Count - 1).All(x => x.Kind == LoopEventKind.Data), "event order");
            }

            // Cancelling a wait for a report that does not come.
            Sim.kqsim_set_loop_interval(5000);
            using (var loop = r.StartUidLoop())
            {
                while (loop.Wait(300) != null) { } // whatever came before the slow pace
                using (var cts = new CancellationTokenSource(100))
                {
                    var t = loop.ReadEventAsync(cts.Token);
                    bool cancelled = false;
                    try { t.Wait(5000); }
                    catch (AggregateException ae) { cancelled = ae.InnerException is TaskCanceledException; }
                    Check(cancelled && t.IsCanceled, "ReadEventAsync cancelled by its token");
                }
                // A cancelled wait takes no event away from the next one.
                var after = loop.StopAsync().ContinueWith(_ => loop.ReadEventAsync().Result);
                Check(after.Wait(10000) && after.Result != null && after.Result.Kind == LoopEventKind.LoopEnd, "LoopEnd after a cancelled wait");
            }
            Sim.kqsim_set_loop_interval(20);

            // A tag command answered at once: one Data event, also for a late handler.
            Sim.kqsim_ta_script("R0", (byte)'0', "00CAFE");
            using (var loop = r.StartTagCommandLoop("R0"))
            {
                var got = new ManualResetEvent(false);
                string reply = null;
                loop.EventReceived += (sender, e) => { reply = e.Reply; got.Set(); };
                Check(got.WaitOne(5000) && reply == "CAFE", "late handler gets the answer");
                var queued = loop.Wait(0);
                Equal("Data 'CAFE'", queued == null ? null : queued.ToString(), "queued answer, and its ToString");
                Check(loop.Finished && loop.Wait(0) == null, "no worker: nothing follows");
            }
#if KQ_ASYNC_ENUMERABLE
            // IAsyncEnumerable, taken by hand (mcs has no await foreach).
            using (var loop = r.StartMultiReadLoop(0, 2))
            {
                var kinds = new List<LoopEventKind>();
                var run = Task.Run(async () => {
                    var en = loop.ReadAllAsync().GetAsyncEnumerator();
                    try
                    {
                        while (await en.MoveNextAsync())
                        {
                            kinds.Add(en.Current.Kind);
                            if (kinds.Count == 2)
                                await loop.StopAsync();
                        }
                    }
                    finally { await en.DisposeAsync(); }
                });
                Check(run.Wait(10000), "ReadAllAsync ends after the stop");
                Check(kinds.Count >= 3 && kinds.Last() == LoopEventKind.LoopEnd, "ReadAllAsync ends with LoopEnd: " + string.Join(",", kinds));
            }
            using (var loop = r.StartUidLoop())
            using (var cts = new CancellationTokenSource())
            {
                var en = loop.ReadAllAsync(cts.Token).GetAsyncEnumerator();
                Check(en.MoveNextAsync().AsTask().Wait(5000), "first item");
                Sim.kqsim_set_loop_interval(5000);
                Thread.Sleep(100);
                while (loop.Wait(0) != null) { }
                var pending = en.MoveNextAsync().AsTask();
                cts.Cancel();
                bool cancelled = false;
                try { pending.Wait(5000); }
                catch (AggregateException ae) { cancelled = ae.InnerException is TaskCanceledException; }
                Check(cancelled, "ReadAllAsync cancelled by its token");
                en.DisposeAsync();
                Sim.kqsim_set_loop_interval(20);
            }
#endif
        }
    }

    // ---- Finding the native library ---------------------------------------------------------

    [DllImport("libdl.so.2")] static extern IntPtr dlopen(string path, int flags);

    static void Resolver()
    {
        var linux = NativeResolver.Candidates("linux-x64", "/app", null);
        Equal("/app/libkq.so.0", linux[0], "next to the assembly first");
        Check(linux.Contains("/app/runtimes/linux-x64/native/libkq.so.0"), "the package's runtimes folder");
        Check(linux.IndexOf("libkq.so.0") < linux.IndexOf("libkq.so") && linux.IndexOf("libkq.so.0") > 0, "the soname before libkq.so: " + string.Join(" ", linux));
        var win = NativeResolver.Candidates("win-x86", "C:\\app", null);
        Check(win.Any(c => c.EndsWith("runtimes/win-x86/native/kq.dll", StringComparison.Ordinal) || c.EndsWith("runtimes\\win-x86\\native\\kq.dll", StringComparison.Ordinal)), "win-x86 runtimes folder");
        Check(NativeResolver.Candidates("linux-x64", "/app", "/x/libkq.so.0").SequenceEqual(new[] { "/x/libkq.so.0" }), "KQ_LIBRARY alone");
        Equal("linux-x64", NativeResolver.RuntimeId(), "runtime id here");
        // The first candidate that loads wins: here the build's libkq.so.0
        // (LD_LIBRARY_PATH), found by the soname.
        var tried = new List<string>();
        IntPtr h = NativeResolver.Find(NativeResolver.Candidates("linux-x64", "/nonexistent", null), c => { tried.Add(c); return dlopen(c, 2); });
        Check(h != IntPtr.Zero && tried.Last() == "libkq.so.0", "resolved through the soname: " + string.Join(" ", tried));
    }

    static int Main(string[] args)
    {
        if (args.Length > 0 && args[0] == "--version-refused")
        {
            // Run against a library of another version (LD_LIBRARY_PATH):
            // the first use of the binding must refuse it.
            try
            {
                Reader.ListReaders();
                Console.WriteLine("not refused");
                return 1;
            }
            catch (KqLibraryVersionException e)
            {
                Console.WriteLine("refused: " + e.Message);
                return 0;
            }
        }
        header = args.Length > 0 ? args[0] : "include/kq.h";
        var tests = new Action[] { HeaderAgreement, OneShotOperations, FailuresAndArgumentChecks, ClosedMeansClosed,
                                   OpenAndCloseSemantics, ListReaders, LoopStoppedFromAnotherThread, TagCommandLoop,
                                   LoopEndsOnDeviceLoss, LoopEventsAndTasks, Resolver };
        foreach (var t in tests)
        {
            int before = failures;
            Console.WriteLine(t.Method.Name);
            try { t(); }
            catch (Exception e) { failures++; Console.WriteLine("  FAILED: " + e); }
            Console.WriteLine(failures == before ? "  passed" : "  failed");
            if (failures == before) passedTests++; else failedTests++;
        }
        Console.WriteLine(failures == 0 ? "all passed" : failures + " failures");
        Console.WriteLine("{0} passed, {1} failed", passedTests, failedTests);
        return failures == 0 ? 0 : 1;
    }
}
