// The Kq package as an application meets it: list the readers, open the
// first, take an inventory, run the UID loop through its event until a
// report arrives. Run with KQ_D2XX naming the simulated reader and
// KQSIM_SCENARIO its field, and nothing on LD_LIBRARY_PATH: the native
// library must come from the package. Prints "package test: ok" at the end.
using System;
using System.Threading;
using Kq;

static class Program
{
    static int Main()
    {
        Console.WriteLine("binding " + Library.BindingVersion + ", library " + Library.Version);
        Console.WriteLine("readers: " + string.Join(" ", Reader.ListReaders()));
        using (var reader = new Reader().Open())
        {
            string[] uids = reader.Inventory();
            Console.WriteLine("tags in the field: " + uids.Length);
            // Which file the runtime loaded (Linux): the package's copy.
            if (System.IO.File.Exists("/proc/self/maps"))
                foreach (string line in System.IO.File.ReadAllLines("/proc/self/maps"))
                    if (line.EndsWith("/libkq.so.0", StringComparison.Ordinal))
                    {
                        Console.WriteLine("loaded " + line.Substring(line.IndexOf('/')));
                        break;
                    }
            var got = new ManualResetEvent(false);
            using (var loop = reader.StartUidLoop())
            {
                loop.EventReceived += (sender, e) => {
                    Console.WriteLine("event: " + e);
                    got.Set();
                };
                if (!got.WaitOne(5000))
                {
                    Console.WriteLine("no loop event");
                    return 1;
                }
                loop.StopAsync().Wait();
            }
            if (uids.Length == 0)
                return 1;
        }
        Console.WriteLine("package test: ok");
        return 0;
    }
}
