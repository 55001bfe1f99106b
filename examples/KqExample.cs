// KqExample.cs - inventory, read, write and the UID loop from .NET.
//
// Build and run with Mono against the simulated reader, from the source
// tree's root after a build:
//   mcs -unsafe -out:KqExample.exe bindings/dotnet/*.cs examples/KqExample.cs
//   LD_LIBRARY_PATH=build/release/bin KQ_D2XX=build/release/bin/libkqsim_d2xx.so \
//   KQSIM_SCENARIO=examples/field.scenario mono KqExample.exe
// (or reference the Kq NuGet package: docs/bindings.md)
// With a real reader leave KQ_D2XX unset. Usage: KqExample.exe [serial-number]
using System;
using System.Linq;
using Kq;

static class KqExample
{
    static int Main(string[] args)
    {
        Console.WriteLine("readers: " + string.Join(" ", Reader.ListReaders()));
        var reader = new Reader(args.Length > 0 ? args[0] : null, 500, 500);
        try
        {
            reader.Open();
        }
        catch (KqException e)
        {
            Console.Error.WriteLine("no reader: " + e.Message);
            return 1;
        }
        using (reader)
        {
            Console.WriteLine("reader: " + reader.SerialNumber);
            string[] uids = reader.Inventory();
            Console.WriteLine("tags in the field: " + uids.Length);
            foreach (var uid in uids)
                Console.WriteLine("   " + uid);
            if (uids.Length == 0)
                return 0;

            string first = uids[0];
            Console.WriteLine("blocks 0-3 of {0}: '{1}'", first, reader.Read(first, 0, 4));
            reader.Write(first, 8, 2, "DOTNET01");
            Console.WriteLine("wrote blocks 8-9, read back: '{0}'", reader.Read(first, 8, 2));
            try
            {
                reader.Read(first, 200, 16); // past the end of the tag's memory (status 4)
            }
            catch (KqException e)
            {
                Console.WriteLine("expected failure: {0} (code {1}, {2})", e.Message, e.Code, e.Name);
            }

            // Loop mode: a worker reports the field; stop once it has changed
            // (or after 6 s).
            Console.WriteLine("UID loop:");
            using (var loop = reader.StartUidLoop())
            {
                var deadline = DateTime.UtcNow.AddSeconds(6);
                string[] seen = null;
                while (DateTime.UtcNow < deadline && !loop.Finished)
                {
                    var ev = loop.Wait(500);
                    if (ev == null || ev.Kind != LoopEventKind.Data)
                        continue;
                    var field = ev.Uids;
                    if (seen != null && field.SequenceEqual(seen))
                        continue;
                    Console.WriteLine("   field: " + string.Join(" ", field));
                    if (seen != null)
                        break;
                    seen = field;
                }
                loop.Stop();
                LoopEvent last;
                while ((last = loop.Wait(1000)) != null)
                    if (last.Kind == LoopEventKind.LoopEnd)
                        Console.WriteLine("loop ended");
            }
        }
        return 0;
    }
}
