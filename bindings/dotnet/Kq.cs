// Kq.cs - .NET binding of the KQ RFID reader library (kq.dll / libkq.so).
//
// Build with the program that uses it (unsafe code for the fixed buffers):
//   mcs -unsafe -target:library -out:Kq.dll bindings/dotnet/Kq.cs
// The library is found as "kq": kq.dll on Windows; libkq.so through the
// usual search (LD_LIBRARY_PATH, next to the program) on Mono/Linux.
//
// The KQ_PROPERTY record of a Reader lives in unmanaged memory from the
// constructor until Dispose: a loop worker keeps its address, so a managed
// copy passed by ref would be a temporary the worker writes into after the
// call has returned. Texts and UIDs are checked (length and characters)
// before they are copied into a record: nothing is cut short silently.
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace Kq
{
    // ---- Records (byte-packed, as in kq.h) ---------------------------------------

    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public unsafe struct KQ_TAGINFO
    {
        public fixed byte UID[17];
        public fixed byte Data[2049];
    }

    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public unsafe struct KQ_IN_SR
    {
        public byte StartBlock;
        public byte BlockCount;
        public fixed byte UID[17];
    }

    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct KQ_IN_SW
    {
        public byte StartBlock;
        public byte BlockCount;
        public KQ_TAGINFO TagInfo;
    }

    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public unsafe struct KQ_IN_SNSR
    {
        public byte Channel;
        public byte Setting;
        public fixed byte UID[17];
    }

    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public unsafe struct KQ_OUT_SNSR
    {
        public byte Value;
        public fixed byte Reserved[17];
    }

    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public unsafe struct KQ_TA
    {
        public fixed byte Text[36]; // KQ_IN_TA / KQ_OUT_TA
    }

    /// <summary>Four KQ_TAGINFO entries (C: KQ_TAGINFO TagInfo[4]).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct KQ_TAGINFO4
    {
        public KQ_TAGINFO T0, T1, T2, T3;
        public const int Size = 4 * 2066;
    }

    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct KQ_OUT_GU
    {
        public byte Count;
        public KQ_TAGINFO4 TagInfo;
    }

    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct KQ_IN_MR
    {
        public byte StartBlock;
        public byte BlockCount;
    }

    /// <summary>KQ_OUT_MR, KQ_IN_MW and KQ_OUT_MW: two header bytes
    /// (TagCount/DoneCount or StartBlock/BlockCount) and four entries.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct KQ_MULTI
    {
        public byte First;
        public byte Second;
        public KQ_TAGINFO4 TagInfo;
    }

    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public unsafe struct KQ_PROPERTY
    {
        public uint WriteTimeout;
        public uint ReadTimeout;
        public IntPtr SerialNo;
        public IntPtr Handle;
        public byte BuzzerOn;
        public byte BuzzerTime;
        public fixed byte Reserved1[2];
        public byte LoopMode;
        public byte StopFlag;
        public byte LoopKind;
        public byte Reserved2;
        public IntPtr hWnd;
        public IntPtr hThread;
        public KQ_IN_MR IN_MR;
        public KQ_MULTI IN_MW;
        public KQ_TA IN_TA;
        public KQ_OUT_GU OUT_GU;
        public KQ_MULTI OUT_MR;
        public KQ_MULTI OUT_MW;
        public KQ_TA OUT_TA;
    }

    [StructLayout(LayoutKind.Sequential)]
    public struct KQ_NOTIFICATION
    {
        public uint Message;
        public uint Zero;
        public ulong wParam;
        public ulong lParam;
    }

    // ---- Constants and result names ----------------------------------------------

    public static class KqConst
    {
        public const int KQ_OK = 0;
        public const int KQ_ERR_NOBLOCKS = 3;
        public const int KQ_ERR_NOREPLY = 10;
        public const int KQ_ERR_USB = 16;
        public const int KQ_ERR_SEND = 17;
        public const int KQ_ERR_RECEIVE = 18;
        public const int KQ_ERR_SERIALNO = 19;
        public const int KQ_ERR_TAG = 20;
        public const int KQ_ERR_WRITE = 21;
        public const int KQ_ERR_UIDCOUNT = 22;
        public const int KQ_ERR_BUZZER = 24;
        public const int KQ_ERR_LOOPSTOP = 28;
        public const int KQ_ERR_PARAM = 29;
        public const int KQ_ERR_CLOSE = 30;
        public const int KQ_ERR_BLOCKSIZE = 31;

        public const uint WM_KQ_DATA = 0xB001;
        public const uint WM_KQ_LOOPEND = 0xB002;
        public const uint WM_KQ_USBERROR = 0xB003;

        public const int KQ_SERIALNO_BUFFER_SIZE = 64;
        public const byte KQ_LOOP_UID = 1;
        public const byte KQ_LOOP_MULTIREAD = 2;
        public const byte KQ_LOOP_MULTIWRITE = 3;
        public const byte KQ_LOOP_TAGCOMMAND = 4;

        /// <summary>kq.h's name of every library result code.</summary>
        public static readonly Dictionary<int, string> Names = new Dictionary<int, string> {
            { 0, "KQ_OK" }, { 3, "KQ_ERR_NOBLOCKS" }, { 10, "KQ_ERR_NOREPLY" },
            { 16, "KQ_ERR_USB" }, { 17, "KQ_ERR_SEND" }, { 18, "KQ_ERR_RECEIVE" },
            { 19, "KQ_ERR_SERIALNO" }, { 20, "KQ_ERR_TAG" }, { 21, "KQ_ERR_WRITE" },
            { 22, "KQ_ERR_UIDCOUNT" }, { 24, "KQ_ERR_BUZZER" }, { 28, "KQ_ERR_LOOPSTOP" },
            { 29, "KQ_ERR_PARAM" }, { 30, "KQ_ERR_CLOSE" }, { 31, "KQ_ERR_BLOCKSIZE" },
        };

        /// <summary>Name of a result as the operation that returned it means
        /// it: 3 is KQ_ERR_NOBLOCKS only from the multi operations, 1-15 are
        /// otherwise the reader's status character.</summary>
        public static string ResultName(int code, string operation = null)
        {
            bool multi = operation == "KQ_MultiRead" || operation == "KQ_MultiWrite";
            if (code == KQ_ERR_NOBLOCKS && !multi)
                return "reader status '3'";
            string name;
            if (Names.TryGetValue(code, out name))
                return name;
            if (code >= 1 && code <= 15)
                return string.Format("reader status '{0:X}'", code);
            return "unknown result " + code;
        }
    }

    // ---- The 25 exports ------------------------------------------------------------

    public static unsafe class Native
    {
        const string Lib = "kq";
        // __stdcall on 32-bit Windows, the platform's convention elsewhere.
        const CallingConvention Conv = CallingConvention.Winapi;

        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_GetSerialNo(byte[] buffer);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_OpenUSB(IntPtr prop);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_CloseUSB(IntPtr prop);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_CheckStatusUSB(IntPtr prop);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_Init_TAGINFO(KQ_TAGINFO* block);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_Init_PROPERTY(IntPtr prop);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_Init_IN_TA(KQ_TA* block);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_Init_OUT_TA(KQ_TA* block);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_Init_IN_SR(KQ_IN_SR* block);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_Init_IN_SNSR(KQ_IN_SNSR* block);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_Init_OUT_SNSR(KQ_OUT_SNSR* block);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_Init_IN_SW(KQ_IN_SW* block);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_Init_OUT_GU(KQ_OUT_GU* block);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_Init_IN_MW(KQ_MULTI* block);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_Init_OUT_MR(KQ_MULTI* block);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_Init_OUT_MW(KQ_MULTI* block);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_BuzzerCommand(IntPtr prop, int length);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_LoopStop(IntPtr prop);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_GetUID(IntPtr prop);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_TagCommand(IntPtr prop);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_SelectRead(IntPtr prop, KQ_IN_SR* inp, KQ_TAGINFO* outp);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_SelectWrite(IntPtr prop, KQ_IN_SW* inp);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_MultiRead(IntPtr prop);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_MultiWrite(IntPtr prop);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_SensorCommand(IntPtr prop, KQ_IN_SNSR* inp, KQ_OUT_SNSR* outp);

        /// <summary>Every size or offset that differs from kq.h's (empty when
        /// the declarations are right). Checked once before any call.</summary>
        public static List<string> LayoutMismatches()
        {
            var bad = new List<string>();
            int w = IntPtr.Size - 4; // widening of each pointer field
            Action<Type, int> size = (t, want) => {
                int got = Marshal.SizeOf(t);
                if (got != want) bad.Add(string.Format("sizeof({0}) is {1}, kq.h says {2}", t.Name, got, want));
            };
            Action<Type, string, int> offset = (t, f, want) => {
                int got = (int)Marshal.OffsetOf(t, f);
                if (got != want) bad.Add(string.Format("offsetof({0}, {1}) is {2}, kq.h says {3}", t.Name, f, got, want));
            };
            size(typeof(KQ_TAGINFO), 2066);
            size(typeof(KQ_IN_SR), 19);
            size(typeof(KQ_IN_SW), 2068);
            size(typeof(KQ_IN_SNSR), 19);
            size(typeof(KQ_OUT_SNSR), 18);
            size(typeof(KQ_TA), 36);
            size(typeof(KQ_OUT_GU), 8265);
            size(typeof(KQ_IN_MR), 2);
            size(typeof(KQ_MULTI), 8266);
            size(typeof(KQ_NOTIFICATION), 24);
            size(typeof(KQ_PROPERTY), 33169 + 4 * w);
            offset(typeof(KQ_TAGINFO), "Data", 17);
            offset(typeof(KQ_IN_SR), "UID", 2);
            offset(typeof(KQ_IN_SW), "TagInfo", 2);
            offset(typeof(KQ_OUT_GU), "TagInfo", 1);
            offset(typeof(KQ_MULTI), "TagInfo", 2);
            var p = typeof(KQ_PROPERTY);
            offset(p, "SerialNo", 8);
            offset(p, "Handle", 12 + w);
            offset(p, "BuzzerOn", 16 + 2 * w);
            offset(p, "LoopMode", 20 + 2 * w);
            offset(p, "StopFlag", 21 + 2 * w);
            offset(p, "LoopKind", 22 + 2 * w);
            offset(p, "hWnd", 24 + 2 * w);
            offset(p, "hThread", 28 + 3 * w);
            offset(p, "IN_MR", 32 + 4 * w);
            offset(p, "IN_MW", 34 + 4 * w);
            offset(p, "IN_TA", 8300 + 4 * w);
            offset(p, "OUT_GU", 8336 + 4 * w);
            offset(p, "OUT_MR", 16601 + 4 * w);
            offset(p, "OUT_MW", 24867 + 4 * w);
            offset(p, "OUT_TA", 33133 + 4 * w);
            return bad;
        }

        static int checkedLayout; // 0 unchecked, 1 right

        internal static void CheckLayout()
        {
            if (Volatile.Read(ref checkedLayout) == 1)
                return;
            var bad = LayoutMismatches();
            if (bad.Count > 0)
                throw new InvalidOperationException("Kq: record layout differs from kq.h: " + string.Join("; ", bad));
            Volatile.Write(ref checkedLayout, 1);
        }
    }

    // ---- Errors and results --------------------------------------------------------

    /// <summary>A KQ function failed: Code is its result, Name kq.h's name
    /// for it (or "reader status 'X'"), Operation the KQ_ function.</summary>
    public class KqException : Exception
    {
        public int Code { get; private set; }
        public string Name { get; private set; }
        public string Operation { get; private set; }

        public KqException(int code, string operation)
            : base(string.Format("{0} failed: {1} {2}", operation, code, KqConst.ResultName(code, operation)))
        {
            Code = code;
            Operation = operation;
            Name = KqConst.ResultName(code, operation);
        }

        internal static void Check(int code, string operation)
        {
            if (code != KqConst.KQ_OK)
                throw new KqException(code, operation);
        }
    }

    /// <summary>Result of MultiRead / MultiWrite. MultiRead: Tags maps every
    /// UID of the inventory to its text (null where the read failed).
    /// MultiWrite: Tags maps each UID written to the text written.</summary>
    public class MultiResult
    {
        public int TagCount;
        public int DoneCount;
        public Dictionary<string, string> Tags = new Dictionary<string, string>();
    }

    public enum LoopEventKind { Data, End, DeviceLost }

    /// <summary>One loop notification; for Data, Result holds what the
    /// worker had stored when the event was taken: string[] (UID loop),
    /// MultiResult (multi loops) or string (tag-command loop).</summary>
    public class LoopEvent
    {
        public LoopEventKind Kind;
        public uint Message;
        public object Result;
        public override string ToString() { return Kind + (Result == null ? "" : " " + Result); }
    }

    // ---- Text checks ----------------------------------------------------------------

    static unsafe class Text
    {
        // Printable ASCII only: no NUL (would cut the text), no CR/LF/STX
        // (would end or break the frame).
        public static byte[] Ascii(string s, string what, int max)
        {
            if (s == null)
                throw new ArgumentNullException(what);
            if (s.Length > max)
                throw new ArgumentException(string.Format("{0} is {1} characters, at most {2} fit", what, s.Length, max), what);
            foreach (char c in s)
                if (c < 0x20 || c > 0x7E)
                    throw new ArgumentException(string.Format("{0} holds a character the reader cannot take: U+{1:X4}", what, (int)c), what);
            return Encoding.ASCII.GetBytes(s);
        }

        public static byte[] Uid(string uid)
        {
            byte[] b = Ascii(uid, "uid", 16);
            if (b.Length != 16 || uid.IndexOf(' ') >= 0)
                throw new ArgumentException("a UID is exactly 16 characters without spaces: '" + uid + "'", "uid");
            return b;
        }

        // Copies b and a NUL into dst (capacity cap, b already checked to fit).
        public static void CopyIn(byte* dst, int cap, byte[] b)
        {
            for (int i = 0; i < cap; i++)
                dst[i] = i < b.Length ? b[i] : (byte)0;
        }

        public static string Out(byte* src, int cap)
        {
            int n = 0;
            while (n < cap && src[n] != 0)
                n++;
            return new string((sbyte*)src, 0, n, Encoding.GetEncoding("iso-8859-1"));
        }
    }

    // ---- Notification channels ----------------------------------------------------

    /// <summary>Where a loop worker's notifications arrive: a pipe on
    /// Linux/macOS, a message-only window on Windows.</summary>
    interface IChannel : IDisposable
    {
        IntPtr Target { get; }
        /// <summary>The next message number, or 0 after timeoutMs (-1 = no limit).</summary>
        uint Wait(int timeoutMs);
    }

    sealed class PipeChannel : IChannel
    {
        [DllImport("libc", SetLastError = true)] static extern int pipe(int[] fds);
        [DllImport("libc", SetLastError = true)] static extern int close(int fd);
        [DllImport("libc", SetLastError = true)] static extern IntPtr read(int fd, byte[] buf, IntPtr n);
        [DllImport("libc", SetLastError = true)] static extern int poll([In, Out] PollFd[] fds, uint n, int timeout);
        [DllImport("libc", SetLastError = true)] static extern int fcntl(int fd, int cmd, int arg);

        [StructLayout(LayoutKind.Sequential)]
        struct PollFd { public int fd; public short events; public short revents; }

        const short POLLIN = 1;
        const int F_GETFL = 3, F_SETFL = 4;
        const int EINTR = 4;

        readonly int readFd, writeFd;
        readonly byte[] buffer = new byte[24];
        int filled;

        public PipeChannel()
        {
            var fds = new int[2];
            if (pipe(fds) != 0)
                throw new InvalidOperationException("pipe() failed: errno " + Marshal.GetLastWin32Error());
            readFd = fds[0];
            writeFd = fds[1];
            // The library never waits on the descriptor: a full pipe loses
            // the message rather than block a worker.
            int nonblock = Environment.OSVersion.Platform == PlatformID.MacOSX ? 4 : 0x800;
            fcntl(writeFd, F_SETFL, fcntl(writeFd, F_GETFL, 0) | nonblock);
        }

        public IntPtr Target { get { return new IntPtr(writeFd); } }

        public uint Wait(int timeoutMs)
        {
            var deadline = timeoutMs < 0 ? DateTime.MaxValue : DateTime.UtcNow.AddMilliseconds(timeoutMs);
            while (true)
            {
                int left = timeoutMs < 0 ? -1 : (int)Math.Max(0, (deadline - DateTime.UtcNow).TotalMilliseconds);
                var p = new[] { new PollFd { fd = readFd, events = POLLIN } };
                int r = poll(p, 1, left);
                if (r < 0 && Marshal.GetLastWin32Error() == EINTR)
                    continue;
                if (r <= 0)
                    return 0;
                var chunk = new byte[24 - filled];
                long got = (long)read(readFd, chunk, new IntPtr(chunk.Length));
                if (got <= 0)
                    return 0;
                Array.Copy(chunk, 0, buffer, filled, (int)got);
                filled += (int)got;
                if (filled == 24)
                {
                    filled = 0;
                    return BitConverter.ToUInt32(buffer, 0); // native byte order, as written
                }
            }
        }

        public void Dispose()
        {
            close(writeFd);
            close(readFd);
        }
    }

    /// <summary>Windows: a message-only window on its own thread; its window
    /// procedure queues the WM_KQ_* messages the library posts.</summary>
    sealed class WindowChannel : IChannel
    {
        delegate IntPtr WndProc(IntPtr hwnd, uint msg, IntPtr wParam, IntPtr lParam);

        [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Unicode)]
        struct WNDCLASSEX
        {
            public uint cbSize, style;
            public WndProc lpfnWndProc;
            public int cbClsExtra, cbWndExtra;
            public IntPtr hInstance, hIcon, hCursor, hbrBackground;
            public string lpszMenuName, lpszClassName;
            public IntPtr hIconSm;
        }

        [StructLayout(LayoutKind.Sequential)]
        struct MSG { public IntPtr hwnd; public uint message; public IntPtr wParam, lParam; public uint time; public int x, y; }

        [DllImport("user32.dll", CharSet = CharSet.Unicode, SetLastError = true)] static extern ushort RegisterClassEx(ref WNDCLASSEX wc);
        [DllImport("user32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
        static extern IntPtr CreateWindowEx(uint exStyle, string cls, string name, uint style, int x, int y, int w, int h,
                                            IntPtr parent, IntPtr menu, IntPtr instance, IntPtr param);
        [DllImport("user32.dll")] static extern IntPtr DefWindowProc(IntPtr hwnd, uint msg, IntPtr wParam, IntPtr lParam);
        [DllImport("user32.dll")] static extern int GetMessage(out MSG msg, IntPtr hwnd, uint min, uint max);
        [DllImport("user32.dll")] static extern IntPtr DispatchMessage(ref MSG msg);
        [DllImport("user32.dll")] static extern bool DestroyWindow(IntPtr hwnd);
        [DllImport("user32.dll")] static extern bool PostMessage(IntPtr hwnd, uint msg, IntPtr wParam, IntPtr lParam);
        [DllImport("user32.dll")] static extern void PostQuitMessage(int code);
        [DllImport("kernel32.dll", CharSet = CharSet.Unicode)] static extern IntPtr GetModuleHandle(string name);

        static readonly IntPtr HWND_MESSAGE = new IntPtr(-3);
        const uint WM_CLOSE = 0x0010, WM_DESTROY = 0x0002;

        readonly WndProc proc; // kept alive as long as the window
        readonly Queue<uint> queue = new Queue<uint>();
        readonly Thread pump;
        IntPtr hwnd;

        public WindowChannel()
        {
            proc = Procedure;
            var ready = new ManualResetEvent(false);
            Exception failure = null;
            pump = new Thread(() => {
                try
                {
                    string cls = "KqNotify" + Guid.NewGuid().ToString("N");
                    var wc = new WNDCLASSEX { lpfnWndProc = proc, hInstance = GetModuleHandle(null), lpszClassName = cls };
                    wc.cbSize = (uint)Marshal.SizeOf(typeof(WNDCLASSEX));
                    if (RegisterClassEx(ref wc) == 0)
                        throw new InvalidOperationException("RegisterClassEx failed: " + Marshal.GetLastWin32Error());
                    hwnd = CreateWindowEx(0, cls, "", 0, 0, 0, 0, 0, HWND_MESSAGE, IntPtr.Zero, wc.hInstance, IntPtr.Zero);
                    if (hwnd == IntPtr.Zero)
                        throw new InvalidOperationException("CreateWindowEx failed: " + Marshal.GetLastWin32Error());
                }
                catch (Exception e)
                {
                    failure = e;
                    ready.Set();
                    return;
                }
                ready.Set();
                MSG m;
                while (GetMessage(out m, IntPtr.Zero, 0, 0) > 0)
                    DispatchMessage(ref m);
            });
            pump.IsBackground = true;
            pump.Start();
            ready.WaitOne();
            if (failure != null)
                throw failure;
        }

        IntPtr Procedure(IntPtr h, uint msg, IntPtr wParam, IntPtr lParam)
        {
            if (msg >= KqConst.WM_KQ_DATA && msg <= KqConst.WM_KQ_USBERROR)
            {
                lock (queue)
                {
                    queue.Enqueue(msg);
                    Monitor.PulseAll(queue);
                }
                return IntPtr.Zero;
            }
            if (msg == WM_CLOSE)
            {
                DestroyWindow(h);
                return IntPtr.Zero;
            }
            if (msg == WM_DESTROY)
            {
                PostQuitMessage(0);
                return IntPtr.Zero;
            }
            return DefWindowProc(h, msg, wParam, lParam);
        }

        public IntPtr Target { get { return hwnd; } }

        public uint Wait(int timeoutMs)
        {
            lock (queue)
            {
                var deadline = timeoutMs < 0 ? DateTime.MaxValue : DateTime.UtcNow.AddMilliseconds(timeoutMs);
                while (queue.Count == 0)
                {
                    int left = timeoutMs < 0 ? Timeout.Infinite : (int)Math.Max(0, (deadline - DateTime.UtcNow).TotalMilliseconds);
                    if (left == 0 || !Monitor.Wait(queue, left))
                        if (queue.Count == 0)
                            return 0;
                }
                return queue.Dequeue();
            }
        }

        public void Dispose()
        {
            PostMessage(hwnd, WM_CLOSE, IntPtr.Zero, IntPtr.Zero);
            pump.Join(2000);
        }
    }

    // ---- Reader ------------------------------------------------------------------------

    /// <summary>One reader connection. Its KQ_PROPERTY record is allocated in
    /// unmanaged memory by the constructor and freed by Dispose, after any
    /// loop worker has ended and the device is closed.</summary>
    public sealed unsafe class Reader : IDisposable
    {
        IntPtr prop;   // KQ_PROPERTY, unmanaged, never moves
        IntPtr serial; // the serial-number text SerialNo points to
        string requestedSerial;
        bool open;
        Loop loop;

        public Reader(string serialNumber = null, uint readTimeout = 500, uint writeTimeout = 500,
                      bool buzzer = false, byte buzzerTime = 1)
        {
            Native.CheckLayout();
            requestedSerial = serialNumber;
            int size = sizeof(KQ_PROPERTY);
            prop = Marshal.AllocHGlobal(size);
            byte* b = (byte*)prop;
            for (int i = 0; i < size; i++)
                b[i] = 0; // no handle, no worker
            P->ReadTimeout = readTimeout;
            P->WriteTimeout = writeTimeout;
            P->BuzzerOn = (byte)(buzzer ? 1 : 0);
            P->BuzzerTime = buzzerTime;
            P->StopFlag = 1;
        }

        ~Reader()
        {
            // Never free a record a worker may still write: stop it first.
            Release();
        }

        KQ_PROPERTY* P { get { return (KQ_PROPERTY*)prop; } }

        /// <summary>The record's address, for calls this class does not wrap.</summary>
        public IntPtr Record { get { return prop; } }

        public string SerialNumber { get; private set; }

        /// <summary>Serial number of the first attached reader.</summary>
        public static string FirstSerialNumber()
        {
            var buf = new byte[KqConst.KQ_SERIALNO_BUFFER_SIZE];
            KqException.Check(Native.KQ_GetSerialNo(buf), "KQ_GetSerialNo");
            int n = Array.IndexOf(buf, (byte)0);
            return Encoding.ASCII.GetString(buf, 0, n < 0 ? buf.Length : n);
        }

        public Reader Open()
        {
            string s = requestedSerial ?? FirstSerialNumber();
            byte[] text = Text.Ascii(s, "serialNumber", 63);
            if (serial == IntPtr.Zero)
                serial = Marshal.AllocHGlobal(64);
            Text.CopyIn((byte*)serial, 64, text);
            P->SerialNo = serial;
            Native.KQ_Init_PROPERTY(prop);
            KqException.Check(Native.KQ_OpenUSB(prop), "KQ_OpenUSB");
            SerialNumber = s;
            open = true;
            return this;
        }

        /// <summary>Stops a running loop, then closes the device.</summary>
        public void Close()
        {
            StopLoop();
            if (open)
            {
                open = false;
                KqException.Check(Native.KQ_CloseUSB(prop), "KQ_CloseUSB");
            }
        }

        public void Dispose()
        {
            Release();
            GC.SuppressFinalize(this);
        }

        void Release()
        {
            if (prop == IntPtr.Zero)
                return;
            Native.KQ_LoopStop(prop); // the worker's last access ends here
            if (open)
            {
                open = false;
                Native.KQ_CloseUSB(prop);
            }
            if (loop != null)
            {
                loop.Dispose();
                loop = null;
            }
            Marshal.FreeHGlobal(prop);
            prop = IntPtr.Zero;
            if (serial != IntPtr.Zero)
            {
                Marshal.FreeHGlobal(serial);
                serial = IntPtr.Zero;
            }
        }

        void Alive()
        {
            if (prop == IntPtr.Zero)
                throw new ObjectDisposedException("Reader");
        }

        public int CheckStatus()
        {
            Alive();
            return Native.KQ_CheckStatusUSB(prop);
        }

        // ---- One-shot operations -----------------------------------------------------

        /// <summary>UIDs of the tags in the field (up to four).</summary>
        public string[] Inventory()
        {
            Alive();
            P->LoopMode = 0;
            KqException.Check(Native.KQ_GetUID(prop), "KQ_GetUID");
            return Uids();
        }

        static KQ_TAGINFO* Entry(KQ_TAGINFO4* four, int i)
        {
            return (KQ_TAGINFO*)four + i;
        }

        string[] Uids()
        {
            int n = Math.Min((int)P->OUT_GU.Count, 4);
            var uids = new string[n];
            for (int i = 0; i < n; i++)
                uids[i] = Text.Out(Entry(&P->OUT_GU.TagInfo, i)->UID, 17);
            return uids;
        }

        /// <summary>Sends a tag command (at most 35 characters); returns the reply payload.</summary>
        public string TagCommand(string command)
        {
            Alive();
            byte[] text = Text.Ascii(command, "command", 35);
            P->LoopMode = 0;
            Text.CopyIn(P->IN_TA.Text, 36, text);
            KqException.Check(Native.KQ_TagCommand(prop), "KQ_TagCommand");
            return Text.Out(P->OUT_TA.Text, 36);
        }

        /// <summary>Text of count blocks from block start of the tag uid.</summary>
        public string Read(string uid, byte start, byte count)
        {
            Alive();
            byte[] u = Text.Uid(uid);
            KQ_IN_SR req;
            KQ_TAGINFO result;
            Native.KQ_Init_IN_SR(&req);
            Native.KQ_Init_TAGINFO(&result);
            req.StartBlock = start;
            req.BlockCount = count;
            Text.CopyIn(req.UID, 17, u);
            KqException.Check(Native.KQ_SelectRead(prop, &req, &result), "KQ_SelectRead");
            return Text.Out(result.Data, 2049);
        }

        /// <summary>Writes text (4 or 8 characters a block) into count blocks
        /// from block start of the tag uid; the library reads them back.</summary>
        public void Write(string uid, byte start, byte count, string text)
        {
            Alive();
            byte[] u = Text.Uid(uid);
            byte[] t = Text.Ascii(text, "text", 2048);
            if (count == 0)
                throw new ArgumentException("count must be 1-255", "count");
            KQ_IN_SW req;
            Native.KQ_Init_IN_SW(&req);
            req.StartBlock = start;
            req.BlockCount = count;
            Text.CopyIn(req.TagInfo.UID, 17, u);
            Text.CopyIn(req.TagInfo.Data, 2049, t);
            KqException.Check(Native.KQ_SelectWrite(prop, &req), "KQ_SelectWrite");
        }

        void SetMultiRead(byte start, byte count)
        {
            P->IN_MR.StartBlock = start;
            P->IN_MR.BlockCount = count;
        }

        void SetMultiWrite(byte start, byte count, IDictionary<string, string> texts)
        {
            if (texts == null)
                throw new ArgumentNullException("texts");
            if (texts.Count > 4)
                throw new ArgumentException("at most 4 tags can be written at once", "texts");
            var entries = new List<KeyValuePair<byte[], byte[]>>();
            foreach (var kv in texts)
                entries.Add(new KeyValuePair<byte[], byte[]>(Text.Uid(kv.Key), Text.Ascii(kv.Value, "text", 2048)));
            Native.KQ_Init_IN_MW(&P->IN_MW);
            P->IN_MW.First = start;
            P->IN_MW.Second = count;
            for (int i = 0; i < entries.Count; i++)
            {
                Text.CopyIn(Entry(&P->IN_MW.TagInfo, i)->UID, 17, entries[i].Key);
                Text.CopyIn(Entry(&P->IN_MW.TagInfo, i)->Data, 2049, entries[i].Value);
            }
        }

        MultiResult MultiReadResult()
        {
            var r = new MultiResult { TagCount = P->OUT_MR.First, DoneCount = P->OUT_MR.Second };
            for (int i = 0; i < Math.Min(r.TagCount, 4); i++)
            {
                string data = Text.Out(Entry(&P->OUT_MR.TagInfo, i)->Data, 2049);
                r.Tags[Text.Out(Entry(&P->OUT_MR.TagInfo, i)->UID, 17)] = data.Length > 0 ? data : null;
            }
            return r;
        }

        MultiResult MultiWriteResult()
        {
            var r = new MultiResult { TagCount = P->OUT_MW.First, DoneCount = P->OUT_MW.Second };
            for (int i = 0; i < Math.Min(r.DoneCount, 4); i++)
                r.Tags[Text.Out(Entry(&P->OUT_MW.TagInfo, i)->UID, 17)] = Text.Out(Entry(&P->OUT_MW.TagInfo, i)->Data, 2049);
            return r;
        }

        /// <summary>Reads count blocks from block start of every tag in the field.</summary>
        public MultiResult MultiRead(byte start, byte count)
        {
            Alive();
            P->LoopMode = 0;
            SetMultiRead(start, count);
            KqException.Check(Native.KQ_MultiRead(prop), "KQ_MultiRead");
            return MultiReadResult();
        }

        /// <summary>texts: UID to text (at most 4); each text goes into its tag if it is in the field.</summary>
        public MultiResult MultiWrite(byte start, byte count, IDictionary<string, string> texts)
        {
            Alive();
            P->LoopMode = 0;
            SetMultiWrite(start, count, texts);
            KqException.Check(Native.KQ_MultiWrite(prop), "KQ_MultiWrite");
            return MultiWriteResult();
        }

        /// <summary>One 8-bit measurement of the sensor tag uid; setting:
        /// explicit reference value (nonzero), else channel 0-2's configured one.</summary>
        public byte Sensor(string uid, byte channel = 0, byte setting = 0)
        {
            Alive();
            byte[] u = Text.Uid(uid);
            if (channel > 2)
                throw new ArgumentException("channel must be 0, 1 or 2", "channel");
            KQ_IN_SNSR req;
            KQ_OUT_SNSR result;
            Native.KQ_Init_IN_SNSR(&req);
            req.Channel = channel;
            req.Setting = setting;
            Text.CopyIn(req.UID, 17, u);
            KqException.Check(Native.KQ_SensorCommand(prop, &req, &result), "KQ_SensorCommand");
            return result.Value;
        }

        /// <summary>Sounds the buzzer for length x 100 ms.</summary>
        public void Beep(byte length = 1)
        {
            Alive();
            KqException.Check(Native.KQ_BuzzerCommand(prop, length), "KQ_BuzzerCommand");
        }

        // ---- Loop mode ---------------------------------------------------------------------

        public Loop StartUidLoop()
        {
            return StartLoop(KqConst.KQ_LOOP_UID, "KQ_GetUID", null);
        }

        public Loop StartMultiReadLoop(byte start, byte count)
        {
            return StartLoop(KqConst.KQ_LOOP_MULTIREAD, "KQ_MultiRead", () => SetMultiRead(start, count));
        }

        public Loop StartMultiWriteLoop(byte start, byte count, IDictionary<string, string> texts)
        {
            return StartLoop(KqConst.KQ_LOOP_MULTIWRITE, "KQ_MultiWrite", () => SetMultiWrite(start, count, texts));
        }

        /// <summary>The tag-command loop starts when the first exchange fails;
        /// when it succeeds its reply is the loop's only event.</summary>
        public Loop StartTagCommandLoop(string command)
        {
            byte[] text = Text.Ascii(command, "command", 35);
            return StartLoop(KqConst.KQ_LOOP_TAGCOMMAND, "KQ_TagCommand", () => Text.CopyIn(P->IN_TA.Text, 36, text));
        }

        Loop StartLoop(byte kind, string operation, Action prepare)
        {
            Alive();
            StopLoop();
            if (prepare != null)
                prepare();
            var channel = Environment.OSVersion.Platform == PlatformID.Win32NT ? (IChannel)new WindowChannel() : new PipeChannel();
            var started = new Loop(this, kind, channel);
            P->hWnd = channel.Target;
            P->LoopMode = 1;
            P->StopFlag = 0;
            int rc;
            switch (kind)
            {
            case KqConst.KQ_LOOP_UID: rc = Native.KQ_GetUID(prop); break;
            case KqConst.KQ_LOOP_MULTIREAD: rc = Native.KQ_MultiRead(prop); break;
            case KqConst.KQ_LOOP_MULTIWRITE: rc = Native.KQ_MultiWrite(prop); break;
            default: rc = Native.KQ_TagCommand(prop); break;
            }
            if (rc != KqConst.KQ_OK)
            {
                started.Dispose();
                throw new KqException(rc, operation);
            }
            loop = started;
            if (kind == KqConst.KQ_LOOP_TAGCOMMAND && P->hThread == IntPtr.Zero)
            {
                // Answered at once: no worker; the reply is the only event.
                started.Pending = new LoopEvent { Kind = LoopEventKind.Data, Message = KqConst.WM_KQ_DATA, Result = Text.Out(P->OUT_TA.Text, 36) };
                started.Finished = true;
            }
            return started;
        }

        /// <summary>Ends the loop worker (KQ_LoopStop: waits until it has
        /// ended). Safe from any thread, also while another waits for events.</summary>
        public void StopLoop()
        {
            if (prop == IntPtr.Zero)
                return;
            Native.KQ_LoopStop(prop);
            P->LoopMode = 0;
        }

        internal object Snapshot(byte kind)
        {
            switch (kind)
            {
            case KqConst.KQ_LOOP_UID: return Uids();
            case KqConst.KQ_LOOP_MULTIREAD: return MultiReadResult();
            case KqConst.KQ_LOOP_MULTIWRITE: return MultiWriteResult();
            default: return Text.Out(P->OUT_TA.Text, 36);
            }
        }

        internal void Forget(Loop l)
        {
            if (loop == l)
            {
                loop = null;
                if (prop != IntPtr.Zero)
                    P->hWnd = IntPtr.Zero;
            }
        }
    }

    /// <summary>Events of a running loop worker. Wait blocks for the next
    /// one; Stop (any thread) ends the worker, after which Wait returns the
    /// End event.</summary>
    public sealed class Loop : IDisposable
    {
        readonly Reader reader;
        readonly byte kind;
        readonly IChannel channel;
        internal LoopEvent Pending;
        /// <summary>True once End or DeviceLost has been taken (or when no
        /// worker was started: a tag command answered at once).</summary>
        public bool Finished { get; internal set; }

        internal Loop(Reader reader, byte kind, IChannel channel)
        {
            this.reader = reader;
            this.kind = kind;
            this.channel = channel;
        }

        /// <summary>The next event, or null after timeoutMs (-1 = no limit).</summary>
        public LoopEvent Wait(int timeoutMs)
        {
            if (Pending != null)
            {
                var p = Pending;
                Pending = null;
                return p;
            }
            if (Finished)
                return null;
            uint msg = channel.Wait(timeoutMs);
            switch (msg)
            {
            case KqConst.WM_KQ_DATA:
                return new LoopEvent { Kind = LoopEventKind.Data, Message = msg, Result = reader.Snapshot(kind) };
            case KqConst.WM_KQ_LOOPEND:
                Finished = true;
                return new LoopEvent { Kind = LoopEventKind.End, Message = msg };
            case KqConst.WM_KQ_USBERROR:
                Finished = true;
                return new LoopEvent { Kind = LoopEventKind.DeviceLost, Message = msg };
            default:
                return null;
            }
        }

        /// <summary>Every event until End or DeviceLost.</summary>
        public IEnumerable<LoopEvent> Events()
        {
            while (true)
            {
                var e = Wait(Finished ? 0 : -1);
                if (e != null)
                    yield return e;
                else if (Finished)
                    yield break;
            }
        }

        public void Stop()
        {
            reader.StopLoop();
        }

        public void Dispose()
        {
            Stop();
            reader.Forget(this);
            channel.Dispose();
        }
    }
}
