// Tests of the .NET binding against the simulated reader (run under Mono).
// Usage: KqTests.exe PATH/TO/kq.h   with KQ_D2XX naming the simulated reader
// library and both libraries on the library path. Exit code 0 = all passed.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text.RegularExpressions;
using System.Threading;
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
    static int failures;
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
        Equal(25, exports.Count, "exports in kq.h");
        Check(exports.SequenceEqual(declared), "P/Invoke declarations = kq.h exports: " + string.Join(",", declared));
        Equal("reader status '3'", KqConst.ResultName(3, "KQ_SelectRead"), "3 outside the multi operations");
        Equal("KQ_ERR_NOBLOCKS", KqConst.ResultName(3, "KQ_MultiWrite"), "3 of a multi operation");
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
            r.Write(B, 3, 2, "ABCDEFGH12345678");
            Equal("ABCDEFGH12345678", Sim.Data(B, 3, 2), "written");
            Equal((byte)0x5A, r.Sensor(S), "sensor");
            var mr = r.MultiRead(0, 1);
            Equal(3, mr.TagCount, "multi-read tags");
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
            var e = Throws<KqException>(() => r.MultiRead(0, 0), "multi-read of 0 blocks");
            if (e != null)
            {
                Equal(3, e.Code, "code");
                Equal("KQ_ERR_NOBLOCKS", e.Name, "name");
            }
            Sim.kqsim_tag_remove(B);
            e = Throws<KqException>(() => r.Read(B, 0, 1), "read of an absent tag");
            if (e != null)
                Equal("reader status '2'", e.Name, "absent tag");

            // A 17-character UID is refused here, not cut to 16 and sent.
            ulong frames = Sim.kqsim_frame_count().ToUInt64();
            Throws<ArgumentException>(() => r.Read(A + "7", 0, 1), "17-character UID");
            Throws<ArgumentException>(() => r.Write(A.Substring(1), 0, 1, "ABCD"), "15-character UID");
            Throws<ArgumentException>(() => r.Write(A, 0, 1, "AB\r\n"), "CR LF in a text");
            Throws<ArgumentException>(() => r.TagCommand(new string('X', 36)), "36-character command");
            Throws<ArgumentException>(() => r.Sensor(S, 3), "channel 3");
            Equal(frames, Sim.kqsim_frame_count().ToUInt64(), "frames sent for refused arguments");
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
                Check(((string[])first.Result).SequenceEqual(new[] { A, B, S }), "UIDs of the first event");
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
            Check(last != null && last.Kind == LoopEventKind.End, "loop ended with End");
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

    static int Main(string[] args)
    {
        header = args.Length > 0 ? args[0] : "include/kq.h";
        var tests = new Action[] { HeaderAgreement, OneShotOperations, FailuresAndArgumentChecks,
                                   LoopStoppedFromAnotherThread, TagCommandLoop, LoopEndsOnDeviceLoss };
        foreach (var t in tests)
        {
            int before = failures;
            Console.WriteLine(t.Method.Name);
            try { t(); }
            catch (Exception e) { failures++; Console.WriteLine("  FAILED: " + e); }
            Console.WriteLine(failures == before ? "  passed" : "  failed");
        }
        Console.WriteLine(failures == 0 ? "all passed" : failures + " failures");
        return failures == 0 ? 0 : 1;
    }
}
