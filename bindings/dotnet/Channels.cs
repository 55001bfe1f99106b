// Channels.cs - text checks and where a loop worker's notifications arrive.
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace Kq
{
    // ---- Text checks ----------------------------------------------------------------

    static unsafe class Text
    {
        // Printable ASCII only: no NUL (would cut the text), no CR/LF/STX
        // (would end or break the frame), nothing outside ASCII.
        public static byte[] Ascii(string s, string what, int max, int min = 0)
        {
            if (s == null)
                throw new ArgumentNullException(what);
            if (s.Length > max)
                throw new ArgumentException(string.Format("{0} is {1} characters, at most {2} fit", what, s.Length, max), what);
            if (s.Length < min)
                throw new ArgumentException(what + " is empty", what);
            for (int i = 0; i < s.Length; i++)
                if (s[i] < 0x20 || s[i] > 0x7E)
                    throw new ArgumentException(string.Format("{0} holds U+{1:X4} at position {2}: only printable ASCII reaches the reader", what, (int)s[i], i + 1), what);
            return Encoding.ASCII.GetBytes(s);
        }

        /// <summary>A UID: exactly 16 hexadecimal digits, normalised to upper case.</summary>
        public static byte[] Uid(string uid, string what = "uid")
        {
            if (uid == null)
                throw new ArgumentNullException(what);
            string upper = uid.ToUpperInvariant();
            bool ok = upper.Length == 16;
            foreach (char c in upper)
                ok = ok && ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
            if (!ok)
                throw new ArgumentException(string.Format("a UID is 16 hexadecimal digits, not '{0}' ({1} characters)", uid, uid.Length), what);
            return Encoding.ASCII.GetBytes(upper);
        }

        /// <summary>An int in low..high, else ArgumentOutOfRangeException.</summary>
        public static int Range(int value, int low, int high, string what)
        {
            if (value < low || value > high)
                throw new ArgumentOutOfRangeException(what, value, string.Format("{0} must be {1}-{2}", what, low, high));
            return value;
        }

        /// <summary>A run of count (1-255) blocks from start (0-255) that ends at block 255 or before.</summary>
        public static void Run(int start, int count)
        {
            Range(start, 0, 255, "start");
            Range(count, 1, 255, "count");
            if (start + count - 1 > 255)
                throw new ArgumentOutOfRangeException("count", count, string.Format("blocks {0}-{1} pass block 255, the last block number", start, start + count - 1));
        }

        /// <summary>Text for count blocks: 4 or 8 characters a block.</summary>
        public static byte[] BlockText(string text, int count, string what)
        {
            byte[] t = Ascii(text, what, 2048);
            if (t.Length != 4 * count && t.Length != 8 * count)
                throw new ArgumentException(string.Format("{0} is {1} characters; {2} block(s) take {3} (4 a block) or {4} (8 a block)", what, t.Length, count, 4 * count, 8 * count), what);
            return t;
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
        /// <summary>The next message number, 0 after timeoutMs (-1 = no
        /// limit) or after Wake, uint.MaxValue when the channel failed.</summary>
        uint Wait(int timeoutMs);
        /// <summary>Makes a waiting Wait return (0).</summary>
        void Wake();
    }

    sealed class PipeChannel : IChannel
    {
        [DllImport("libc", SetLastError = true)] static extern int pipe(int[] fds);
        [DllImport("libc", SetLastError = true)] static extern int close(int fd);
        [DllImport("libc", SetLastError = true)] static extern IntPtr read(int fd, byte[] buf, IntPtr n);
        [DllImport("libc", SetLastError = true)] static extern IntPtr write(int fd, byte[] buf, IntPtr n);
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
                if (r < 0)
                    return uint.MaxValue;
                if (r == 0)
                    return 0;
                var chunk = new byte[24 - filled];
                long got = (long)read(readFd, chunk, new IntPtr(chunk.Length));
                if (got < 0 && Marshal.GetLastWin32Error() == EINTR)
                    continue;
                if (got <= 0)
                    return uint.MaxValue;
                Array.Copy(chunk, 0, buffer, filled, (int)got);
                filled += (int)got;
                if (filled == 24)
                {
                    filled = 0;
                    return BitConverter.ToUInt32(buffer, 0); // native byte order, as written
                }
            }
        }

        public void Wake()
        {
            var zero = new byte[24]; // Message 0: not a notification
            write(writeFd, zero, new IntPtr(zero.Length));
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

        public void Wake()
        {
            lock (queue)
            {
                queue.Enqueue(0);
                Monitor.PulseAll(queue);
            }
        }

        public void Dispose()
        {
            PostMessage(hwnd, WM_CLOSE, IntPtr.Zero, IntPtr.Zero);
            pump.Join(2000);
        }
    }

}
