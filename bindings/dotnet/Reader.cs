// Reader.cs - one reader connection: its KQ_PROPERTY record and the operations on it.
using System;
using System.Collections.Generic;
using System.Collections.ObjectModel;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace Kq
{
    /// <summary>A KQ function failed: Code is its result, Name kq.h's name
    /// for it (or "reader status 'X'"), Operation the KQ_ function.</summary>
    public class KqException : Exception
    {
        public int Code { get; private set; }
        public string Name { get; private set; }
        public string Operation { get; private set; }

        public KqException(int code, string operation)
            : this(code, operation, string.Format("{0} failed: {1} {2}", operation, code, KqConst.ResultName(code, operation)))
        {
        }

        public KqException(int code, string operation, string message) : base(message)
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
    public sealed class MultiResult
    {
        public int TagCount { get; private set; }
        public int DoneCount { get; private set; }
        public IReadOnlyDictionary<string, string> Tags { get; private set; }

        internal MultiResult(int tagCount, int doneCount, Dictionary<string, string> tags)
        {
            TagCount = tagCount;
            DoneCount = doneCount;
            Tags = new ReadOnlyDictionary<string, string>(tags);
        }

        /// <summary>"tags 3, done 2: UID=text, UID=(failed)".</summary>
        public override string ToString()
        {
            var parts = new List<string>();
            foreach (var kv in Tags)
                parts.Add(kv.Key + "=" + (kv.Value ?? "(failed)"));
            return string.Format("tags {0}, done {1}: {2}", TagCount, DoneCount, string.Join(", ", parts));
        }
    }

    /// <summary>One reader connection. Its KQ_PROPERTY record is allocated in
    /// unmanaged memory by the constructor and freed by Dispose, after any
    /// loop worker has ended and the device is closed. Every operation on a
    /// reader that is not open throws InvalidOperationException before
    /// anything reaches the library (ObjectDisposedException after Dispose).</summary>
    public sealed unsafe class Reader : IDisposable
    {
        IntPtr prop;   // KQ_PROPERTY, unmanaged, never moves
        IntPtr serial; // the serial-number text SerialNo points to
        readonly string requestedSerial;
        bool open;
        Loop loop;

        /// <summary>serialNumber: the reader to open (null: the first one,
        /// see ListReaders). Timeouts in ms (0 or more); buzzerTime 0-255 x 100 ms.</summary>
        public Reader(string serialNumber = null, int readTimeout = 500, int writeTimeout = 500,
                      bool buzzer = false, int buzzerTime = 1)
        {
            if (serialNumber != null)
                Text.Ascii(serialNumber, "serialNumber", 63, 1);
            Text.Range(readTimeout, 0, int.MaxValue, "readTimeout");
            Text.Range(writeTimeout, 0, int.MaxValue, "writeTimeout");
            Text.Range(buzzerTime, 0, 255, "buzzerTime");
            Native.Prepare();
            requestedSerial = serialNumber;
            int size = sizeof(KQ_PROPERTY);
            prop = Marshal.AllocHGlobal(size);
            byte* b = (byte*)prop;
            for (int i = 0; i < size; i++)
                b[i] = 0; // no handle, no worker
            P->ReadTimeout = (uint)readTimeout;
            P->WriteTimeout = (uint)writeTimeout;
            P->BuzzerOn = (byte)(buzzer ? 1 : 0);
            P->BuzzerTime = (byte)buzzerTime;
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

        /// <summary>Serial number of the reader (null before the first Open).</summary>
        public string SerialNumber { get; private set; }

        /// <summary>True between Open and Close.</summary>
        public bool IsOpen { get { return open && prop != IntPtr.Zero; } }

        /// <summary>Serial numbers of every attached reader, in the driver's
        /// order (KQ_GetReaderCount, KQ_GetSerialNoAt); empty when none is
        /// attached or the driver cannot list devices. A reader unplugged
        /// while the list is taken is left out.</summary>
        public static string[] ListReaders()
        {
            Native.Prepare();
            int count;
            if (Native.KQ_GetReaderCount(out count) != KqConst.KQ_OK)
                return new string[0];
            var list = new List<string>();
            for (int i = 0; i < count; i++)
            {
                var buf = new byte[KqConst.KQ_SERIALNO_BUFFER_SIZE];
                if (Native.KQ_GetSerialNoAt(i, buf) == KqConst.KQ_OK && buf[0] != 0)
                    list.Add(Zero(buf));
            }
            return list.ToArray();
        }

        static string Zero(byte[] buf)
        {
            int n = Array.IndexOf(buf, (byte)0);
            return Encoding.ASCII.GetString(buf, 0, n < 0 ? buf.Length : n);
        }

        /// <summary>Serial number of the first attached reader (KqException
        /// KQ_ERR_SERIALNO when none is attached).</summary>
        public static string FirstSerialNumber()
        {
            Native.Prepare();
            var buf = new byte[KqConst.KQ_SERIALNO_BUFFER_SIZE];
            int rc = Native.KQ_GetSerialNo(buf);
            if (rc != KqConst.KQ_OK)
                throw new KqException(rc, "KQ_GetSerialNo", "KQ_GetSerialNo failed: " + rc + " KQ_ERR_SERIALNO: no reader is attached (or the driver cannot list readers)");
            return Zero(buf);
        }

        /// <summary>Opens the reader (open, reset, line settings). On a reader
        /// that is already open it does nothing (no second reset).</summary>
        public Reader Open()
        {
            Alive();
            if (open)
                return this;
            string s = requestedSerial ?? FirstSerialNumber();
            byte[] text = Text.Ascii(s, "serialNumber", 63);
            if (serial == IntPtr.Zero)
                serial = Marshal.AllocHGlobal(64);
            Text.CopyIn((byte*)serial, 64, text);
            P->SerialNo = serial;
            Native.KQ_Init_PROPERTY(prop);
            int rc = Native.KQ_OpenUSB(prop);
            if (rc != KqConst.KQ_OK)
                throw new KqException(rc, "KQ_OpenUSB", string.Format("KQ_OpenUSB failed: {0} {1}: cannot open reader '{2}' (not attached, or in use by another program)", rc, KqConst.ResultName(rc), s));
            SerialNumber = s;
            open = true;
            return this;
        }

        /// <summary>Stops a running loop, then closes the device. Never
        /// throws; returns false when the driver failed to close the device
        /// (KQ_ERR_CLOSE: the reader counts as closed, the next Open releases
        /// the handle first). A device that is gone needs no closing.</summary>
        public bool Close()
        {
            if (prop == IntPtr.Zero)
                return true;
            StopLoop();
            if (loop != null)
                loop.Dispose();
            if (!open)
                return true;
            open = false;
            if (P->Handle == IntPtr.Zero)
                return true; // the library released a vanished device already
            return Native.KQ_CloseUSB(prop) == KqConst.KQ_OK;
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
                if (P->Handle != IntPtr.Zero)
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

        /// <summary>Refuses an operation on a reader that is not open: the
        /// library's connection check would otherwise reopen the device.</summary>
        void Ready(string operation)
        {
            Alive();
            if (!open)
                throw new InvalidOperationException(operation + ": the reader is not open (call Open() first)");
        }

        /// <summary>Ready, and a running loop ended (as the library does before its operations).</summary>
        void OneShot(string operation)
        {
            Ready(operation);
            StopLoop();
            P->LoopMode = 0;
        }

        public int CheckStatus()
        {
            Ready("KQ_CheckStatusUSB");
            return Native.KQ_CheckStatusUSB(prop);
        }

        // ---- One-shot operations -----------------------------------------------------

        /// <summary>UIDs of the tags in the field (up to four).</summary>
        public string[] Inventory()
        {
            OneShot("KQ_GetUID");
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

        /// <summary>Sends a tag command (1-35 characters); returns the reply payload.</summary>
        public string TagCommand(string command)
        {
            byte[] text = Text.Ascii(command, "command", 35, 1);
            OneShot("KQ_TagCommand");
            Text.CopyIn(P->IN_TA.Text, 36, text);
            KqException.Check(Native.KQ_TagCommand(prop), "KQ_TagCommand");
            return Text.Out(P->OUT_TA.Text, 36);
        }

        /// <summary>Text of count blocks (1-255) from block start (0-255) of the tag uid.</summary>
        public string Read(string uid, int start, int count)
        {
            byte[] u = Text.Uid(uid);
            Text.Run(start, count);
            OneShot("KQ_SelectRead");
            KQ_IN_SR req;
            KQ_TAGINFO result;
            Native.KQ_Init_IN_SR(&req);
            Native.KQ_Init_TAGINFO(&result);
            req.StartBlock = (byte)start;
            req.BlockCount = (byte)count;
            Text.CopyIn(req.UID, 17, u);
            KqException.Check(Native.KQ_SelectRead(prop, &req, &result), "KQ_SelectRead");
            return Text.Out(result.Data, 2049);
        }

        /// <summary>Writes text (4 or 8 characters a block: 4*count or 8*count
        /// characters) into count blocks from block start of the tag uid; the
        /// library reads them back.</summary>
        public void Write(string uid, int start, int count, string text)
        {
            byte[] u = Text.Uid(uid);
            Text.Run(start, count);
            byte[] t = Text.BlockText(text, count, "text");
            OneShot("KQ_SelectWrite");
            KQ_IN_SW req;
            Native.KQ_Init_IN_SW(&req);
            req.StartBlock = (byte)start;
            req.BlockCount = (byte)count;
            Text.CopyIn(req.TagInfo.UID, 17, u);
            Text.CopyIn(req.TagInfo.Data, 2049, t);
            KqException.Check(Native.KQ_SelectWrite(prop, &req), "KQ_SelectWrite");
        }

        void SetMultiRead(int start, int count)
        {
            P->IN_MR.StartBlock = (byte)start;
            P->IN_MR.BlockCount = (byte)count;
        }

        static List<KeyValuePair<byte[], byte[]>> MultiWriteEntries(int start, int count, IDictionary<string, string> texts)
        {
            Text.Run(start, count);
            if (texts == null)
                throw new ArgumentNullException("texts");
            if (texts.Count < 1 || texts.Count > 4)
                throw new ArgumentException("texts must name 1-4 tags, not " + texts.Count, "texts");
            var entries = new List<KeyValuePair<byte[], byte[]>>();
            var seen = new HashSet<string>();
            foreach (var kv in texts)
            {
                byte[] u = Text.Uid(kv.Key, "texts");
                if (!seen.Add(Encoding.ASCII.GetString(u)))
                    throw new ArgumentException("UID " + Encoding.ASCII.GetString(u) + " is named twice", "texts");
                entries.Add(new KeyValuePair<byte[], byte[]>(u, Text.BlockText(kv.Value, count, "text for " + kv.Key)));
            }
            return entries;
        }

        void SetMultiWrite(int start, int count, List<KeyValuePair<byte[], byte[]>> entries)
        {
            Native.KQ_Init_IN_MW(&P->IN_MW);
            P->IN_MW.First = (byte)start;
            P->IN_MW.Second = (byte)count;
            for (int i = 0; i < entries.Count; i++)
            {
                Text.CopyIn(Entry(&P->IN_MW.TagInfo, i)->UID, 17, entries[i].Key);
                Text.CopyIn(Entry(&P->IN_MW.TagInfo, i)->Data, 2049, entries[i].Value);
            }
        }

        MultiResult MultiReadResult()
        {
            int tags = P->OUT_MR.First, done = P->OUT_MR.Second;
            var map = new Dictionary<string, string>();
            for (int i = 0; i < Math.Min(tags, 4); i++)
            {
                string data = Text.Out(Entry(&P->OUT_MR.TagInfo, i)->Data, 2049);
                map[Text.Out(Entry(&P->OUT_MR.TagInfo, i)->UID, 17)] = data.Length > 0 ? data : null;
            }
            return new MultiResult(tags, done, map);
        }

        MultiResult MultiWriteResult()
        {
            int tags = P->OUT_MW.First, done = P->OUT_MW.Second;
            var map = new Dictionary<string, string>();
            for (int i = 0; i < Math.Min(done, 4); i++)
                map[Text.Out(Entry(&P->OUT_MW.TagInfo, i)->UID, 17)] = Text.Out(Entry(&P->OUT_MW.TagInfo, i)->Data, 2049);
            return new MultiResult(tags, done, map);
        }

        /// <summary>Reads count blocks from block start of every tag in the field.</summary>
        public MultiResult MultiRead(int start, int count)
        {
            Text.Run(start, count);
            OneShot("KQ_MultiRead");
            SetMultiRead(start, count);
            KqException.Check(Native.KQ_MultiRead(prop), "KQ_MultiRead");
            return MultiReadResult();
        }

        /// <summary>texts: UID to text (1-4 tags, each text 4*count or
        /// 8*count characters); each text goes into its tag if it is in the field.</summary>
        public MultiResult MultiWrite(int start, int count, IDictionary<string, string> texts)
        {
            var entries = MultiWriteEntries(start, count, texts);
            OneShot("KQ_MultiWrite");
            SetMultiWrite(start, count, entries);
            KqException.Check(Native.KQ_MultiWrite(prop), "KQ_MultiWrite");
            return MultiWriteResult();
        }

        /// <summary>One 8-bit measurement of the sensor tag uid; setting:
        /// explicit reference value (1-255), else (0) channel 0-2's configured one.</summary>
        public int Sensor(string uid, int channel = 0, int setting = 0)
        {
            byte[] u = Text.Uid(uid);
            Text.Range(channel, 0, 2, "channel");
            Text.Range(setting, 0, 255, "setting");
            OneShot("KQ_SensorCommand");
            KQ_IN_SNSR req;
            KQ_OUT_SNSR result;
            Native.KQ_Init_IN_SNSR(&req);
            req.Channel = (byte)channel;
            req.Setting = (byte)setting;
            Text.CopyIn(req.UID, 17, u);
            KqException.Check(Native.KQ_SensorCommand(prop, &req, &result), "KQ_SensorCommand");
            return result.Value;
        }

        /// <summary>Sounds the buzzer for length (0-255) x 100 ms.</summary>
        public void Beep(int length = 1)
        {
            Text.Range(length, 0, 255, "length");
            OneShot("KQ_BuzzerCommand");
            KqException.Check(Native.KQ_BuzzerCommand(prop, length), "KQ_BuzzerCommand");
        }

        // ---- Loop mode ---------------------------------------------------------------------

        public Loop StartUidLoop()
        {
            return StartLoop(KqConst.KQ_LOOP_UID, "KQ_GetUID", null);
        }

        public Loop StartMultiReadLoop(int start, int count)
        {
            Text.Run(start, count);
            return StartLoop(KqConst.KQ_LOOP_MULTIREAD, "KQ_MultiRead", () => SetMultiRead(start, count));
        }

        public Loop StartMultiWriteLoop(int start, int count, IDictionary<string, string> texts)
        {
            var entries = MultiWriteEntries(start, count, texts);
            return StartLoop(KqConst.KQ_LOOP_MULTIWRITE, "KQ_MultiWrite", () => SetMultiWrite(start, count, entries));
        }

        /// <summary>The tag-command loop starts when the first exchange fails;
        /// when it succeeds its reply is the loop's only event.</summary>
        public Loop StartTagCommandLoop(string command)
        {
            byte[] text = Text.Ascii(command, "command", 35, 1);
            return StartLoop(KqConst.KQ_LOOP_TAGCOMMAND, "KQ_TagCommand", () => Text.CopyIn(P->IN_TA.Text, 36, text));
        }

        Loop StartLoop(byte kind, string operation, Action prepare)
        {
            Ready(operation);
            StopLoop();
            if (loop != null)
                loop.Dispose();
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
                started.AnsweredAtOnce(new LoopEvent(LoopEventKind.Data, KqConst.WM_KQ_DATA, Text.Out(P->OUT_TA.Text, 36)));
            else
                started.Start();
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
}
