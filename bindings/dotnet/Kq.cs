// Kq.cs - .NET binding of the KQ RFID reader library (kq.dll / libkq.so.0):
// the records, constants and P/Invoke declarations of kq.h.
//
// The binding is the files bindings/dotnet/*.cs (unsafe code for the fixed
// buffers), built by Kq.csproj (xbuild/msbuild) or directly:
//   mcs -unsafe -target:library -out:Kq.dll bindings/dotnet/*.cs
// The library is imported as "kq": kq.dll on Windows; on Mono elsewhere
// Kq.dll.config maps it to libkq.so.0; on .NET (Core) a resolver finds it
// (Resolver.cs).
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

    // ---- The 28 exports ------------------------------------------------------------

    public static unsafe class Native
    {
        const string Lib = "kq";
        // __stdcall on 32-bit Windows, the platform's convention elsewhere.
        const CallingConvention Conv = CallingConvention.Winapi;

        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_GetSerialNo(byte[] buffer);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_GetReaderCount(out int count);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_GetSerialNoAt(int index, byte[] buffer);
        [DllImport(Lib, CallingConvention = Conv)] public static extern int KQ_GetVersion();
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

        static int prepared; // 0 not yet, 1 layout and library checked

        /// <summary>Before the first call: the record layout is checked, the
        /// resolver registered (.NET Core), and the loaded library's version
        /// compared with the binding's (KqLibraryVersionException).</summary>
        internal static void Prepare()
        {
            if (Volatile.Read(ref prepared) == 1)
                return;
            var bad = LayoutMismatches();
            if (bad.Count > 0)
                throw new InvalidOperationException("Kq: record layout differs from kq.h: " + string.Join("; ", bad));
            NativeResolver.Register();
            Library.CheckVersion();
            Volatile.Write(ref prepared, 1);
        }
    }

}
