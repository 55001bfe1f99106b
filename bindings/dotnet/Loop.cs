// Loop.cs - a running loop worker's events: a .NET event, blocking waits,
// Task-based reads with a CancellationToken, and IAsyncEnumerable.
using System;
using System.Collections.Generic;
using System.Threading;
using System.Threading.Tasks;

namespace Kq
{
    /// <summary>The kinds of loop events; the same names as kqtool's JSON and
    /// the Python binding ("data", "loop_end", "device_lost").</summary>
    public enum LoopEventKind
    {
        /// <summary>WM_KQ_DATA: new results stand in the record.</summary>
        Data,
        /// <summary>WM_KQ_LOOPEND: KQ_LoopStop ended the worker.</summary>
        LoopEnd,
        /// <summary>WM_KQ_USBERROR: the worker lost the device and ended.</summary>
        DeviceLost,
    }

    /// <summary>One loop notification. For Data, Result holds what the worker
    /// had stored when the event was taken: string[] (UID loop, also in
    /// Uids), MultiResult (multi loops, also in Multi) or string (tag-command
    /// loop, also in Reply).</summary>
    public sealed class LoopEvent : EventArgs
    {
        public LoopEventKind Kind { get; private set; }
        public uint Message { get; private set; }
        public object Result { get; private set; }

        public string[] Uids { get { return Result as string[]; } }
        public MultiResult Multi { get { return Result as MultiResult; } }
        public string Reply { get { return Result as string; } }

        internal LoopEvent(LoopEventKind kind, uint message, object result)
        {
            Kind = kind;
            Message = message;
            Result = result;
        }

        /// <summary>"Data [UID, UID]", "Data tags 3, done 3: ...", "Data 'reply'", "LoopEnd".</summary>
        public override string ToString()
        {
            if (Uids != null)
                return Kind + " [" + string.Join(", ", Uids) + "]";
            if (Reply != null)
                return Kind + " '" + Reply + "'";
            return Result == null ? Kind.ToString() : Kind + " " + Result;
        }
    }

    /// <summary>Events of a running loop worker. They arrive on a thread of
    /// the loop (the dispatcher), which raises EventReceived and queues each
    /// event for Wait, Events, ReadEventAsync and ReadAllAsync. Stop (any
    /// thread) ends the worker; the last event is then LoopEnd (DeviceLost
    /// when the worker lost the device). At most 1024 events wait in the
    /// queue: a program that only handles EventReceived loses nothing to it,
    /// the oldest queued ones are dropped.</summary>
    public sealed class Loop : IDisposable
    {
        const int QueueLimit = 1024;
        readonly Reader reader;
        readonly byte kind;
        readonly IChannel channel;
        readonly Queue<LoopEvent> queue = new Queue<LoopEvent>();
        readonly LinkedList<TaskCompletionSource<LoopEvent>> waiters = new LinkedList<TaskCompletionSource<LoopEvent>>();
        Thread dispatcher;
        LoopEvent immediate; // a tag command answered at once: the only event
        bool done;           // no event follows the queued ones
        bool disposed;
        EventHandler<LoopEvent> handlers;

        /// <summary>True once LoopEnd or DeviceLost has arrived (or when no
        /// worker was started: a tag command answered at once).</summary>
        public bool Finished { get; private set; }

        internal Loop(Reader reader, byte kind, IChannel channel)
        {
            this.reader = reader;
            this.kind = kind;
            this.channel = channel;
        }

        /// <summary>Raised on the loop's dispatcher thread for every event
        /// (a handler added after a tag command was answered at once gets
        /// that event on a thread-pool thread).</summary>
        public event EventHandler<LoopEvent> EventReceived
        {
            add
            {
                LoopEvent first;
                lock (queue)
                {
                    handlers += value;
                    first = immediate;
                }
                if (first != null)
                    ThreadPool.QueueUserWorkItem(_ => value(this, first));
            }
            remove
            {
                lock (queue)
                    handlers -= value;
            }
        }

        internal void AnsweredAtOnce(LoopEvent e)
        {
            immediate = e;
            Finished = true;
            Deliver(e, true);
        }

        internal void Start()
        {
            dispatcher = new Thread(Dispatch) { IsBackground = true, Name = "kq loop events" };
            dispatcher.Start();
        }

        void Dispatch()
        {
            while (true)
            {
                uint msg = channel.Wait(-1);
                if (Volatile.Read(ref disposed) || msg == uint.MaxValue)
                    break;
                LoopEvent e;
                switch (msg)
                {
                case KqConst.WM_KQ_DATA:
                    e = new LoopEvent(LoopEventKind.Data, msg, reader.Snapshot(kind));
                    break;
                case KqConst.WM_KQ_LOOPEND:
                    e = new LoopEvent(LoopEventKind.LoopEnd, msg, null);
                    break;
                case KqConst.WM_KQ_USBERROR:
                    e = new LoopEvent(LoopEventKind.DeviceLost, msg, null);
                    break;
                default:
                    continue; // a wake-up, or a message of no loop
                }
                bool last = e.Kind != LoopEventKind.Data;
                if (last)
                    Finished = true;
                EventHandler<LoopEvent> h;
                lock (queue)
                    h = handlers;
                if (h != null)
                    h(this, e);
                Deliver(e, last);
                if (last)
                    return;
            }
            Deliver(null, true);
        }

        /// <summary>Hands e (null: none) to the first async waiter or the
        /// queue; last: nothing follows, release every waiter.</summary>
        void Deliver(LoopEvent e, bool last)
        {
            var release = new List<TaskCompletionSource<LoopEvent>>();
            lock (queue)
            {
                bool taken = e == null;
                while (!taken && waiters.Count > 0)
                {
                    var w = waiters.First.Value;
                    waiters.RemoveFirst();
                    taken = w.TrySetResult(e);
                }
                if (!taken)
                {
                    queue.Enqueue(e);
                    while (queue.Count > QueueLimit)
                        queue.Dequeue();
                }
                if (last)
                {
                    done = true;
                    release.AddRange(waiters);
                    waiters.Clear();
                }
                Monitor.PulseAll(queue);
            }
            foreach (var w in release)
                w.TrySetResult(null);
        }

        /// <summary>The next event, or null after timeoutMs (-1 = no limit) or
        /// when no event follows (after LoopEnd/DeviceLost, or after Dispose).</summary>
        public LoopEvent Wait(int timeoutMs)
        {
            if (timeoutMs < -1)
                throw new ArgumentOutOfRangeException("timeoutMs", timeoutMs, "timeoutMs must be -1 (no limit) or more");
            var deadline = DateTime.UtcNow.AddMilliseconds(timeoutMs < 0 ? 0 : timeoutMs);
            lock (queue)
            {
                while (queue.Count == 0)
                {
                    if (done)
                        return null;
                    int left = timeoutMs < 0 ? Timeout.Infinite : (int)Math.Max(0, (deadline - DateTime.UtcNow).TotalMilliseconds);
                    if (left == 0 || !Monitor.Wait(queue, left))
                        if (queue.Count == 0)
                            return null;
                }
                return queue.Dequeue();
            }
        }

        /// <summary>Every event until LoopEnd or DeviceLost (blocking).</summary>
        public IEnumerable<LoopEvent> Events()
        {
            LoopEvent e;
            while ((e = Wait(-1)) != null)
                yield return e;
        }

        /// <summary>The next event, or null when no event follows; cancelled
        /// (TaskCanceledException) through token. Never blocks a thread.</summary>
        public Task<LoopEvent> ReadEventAsync(CancellationToken token = default(CancellationToken))
        {
            lock (queue)
            {
                if (queue.Count > 0)
                    return Task.FromResult(queue.Dequeue());
                if (done)
                    return Task.FromResult<LoopEvent>(null);
                if (token.IsCancellationRequested)
                    return Task.FromCanceled<LoopEvent>(token);
                var tcs = new TaskCompletionSource<LoopEvent>(TaskCreationOptions.RunContinuationsAsynchronously);
                var node = waiters.AddLast(tcs);
                if (token.CanBeCanceled)
                {
                    var registration = token.Register(() => {
                        lock (queue)
                            if (node.List != null)
                                waiters.Remove(node);
                        tcs.TrySetCanceled(token);
                    });
                    tcs.Task.ContinueWith(_ => registration.Dispose(), TaskScheduler.Default);
                }
                return tcs.Task;
            }
        }

#if KQ_ASYNC_ENUMERABLE
        // Built where the framework has IAsyncEnumerable and ValueTask (Mono's
        // own mscorlib, .NET Core 3.0 and later): mcs -define:KQ_ASYNC_ENUMERABLE.
        // The net461 assembly of Kq.csproj and the NuGet package leave it out,
        // since .NET Framework 4.x has neither type.
        /// <summary>The events as IAsyncEnumerable (await foreach with a C# 8
        /// compiler), ending after LoopEnd or DeviceLost; token (and the
        /// token of GetAsyncEnumerator) cancels the wait for the next one.</summary>
        public IAsyncEnumerable<LoopEvent> ReadAllAsync(CancellationToken token = default(CancellationToken))
        {
            return new AsyncEvents(this, token);
        }

        sealed class AsyncEvents : IAsyncEnumerable<LoopEvent>
        {
            readonly Loop loop;
            readonly CancellationToken token;

            public AsyncEvents(Loop loop, CancellationToken token)
            {
                this.loop = loop;
                this.token = token;
            }

            public IAsyncEnumerator<LoopEvent> GetAsyncEnumerator(CancellationToken other = default(CancellationToken))
            {
                return new Enumerator(loop, token, other);
            }
        }

        sealed class Enumerator : IAsyncEnumerator<LoopEvent>
        {
            readonly Loop loop;
            readonly CancellationToken token;
            readonly CancellationTokenSource linked;

            public Enumerator(Loop loop, CancellationToken a, CancellationToken b)
            {
                this.loop = loop;
                if (a.CanBeCanceled && b.CanBeCanceled)
                {
                    linked = CancellationTokenSource.CreateLinkedTokenSource(a, b);
                    token = linked.Token;
                }
                else
                    token = a.CanBeCanceled ? a : b;
            }

            public LoopEvent Current { get; private set; }

            public ValueTask<bool> MoveNextAsync()
            {
                return new ValueTask<bool>(Next());
            }

            async Task<bool> Next()
            {
                var e = await loop.ReadEventAsync(token).ConfigureAwait(false);
                Current = e;
                return e != null;
            }

            public ValueTask DisposeAsync()
            {
                if (linked != null)
                    linked.Dispose();
                return default(ValueTask);
            }
        }
#endif

        /// <summary>Ends the worker (KQ_LoopStop, which waits for it: about
        /// one report interval). The events then end with LoopEnd.</summary>
        public void Stop()
        {
            reader.StopLoop();
        }

        /// <summary>Stop on a thread-pool thread: the caller's thread (a UI
        /// or an async context) is not held while the worker ends.</summary>
        public Task StopAsync()
        {
            return Task.Run(() => Stop());
        }

        public void Dispose()
        {
            lock (queue)
            {
                if (disposed)
                    return;
                disposed = true;
            }
            Stop();
            channel.Wake();
            if (dispatcher != null && dispatcher != Thread.CurrentThread)
                dispatcher.Join(5000);
            reader.Forget(this);
            channel.Dispose();
            Deliver(null, true);
        }
    }
}
