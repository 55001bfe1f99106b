// Resolver.cs - finding the native library, and its version.
using System;
using System.Collections.Generic;
using System.IO;
using System.Reflection;
using System.Runtime.InteropServices;

[assembly: AssemblyTitle("Kq")]
[assembly: AssemblyDescription(".NET binding of the KQ desktop RFID reader library")]
[assembly: AssemblyVersion(Kq.Library.BindingVersion)]
[assembly: AssemblyFileVersion(Kq.Library.BindingVersion)]
[assembly: AssemblyInformationalVersion(Kq.Library.BindingVersion)]

namespace Kq
{
    /// <summary>The library this binding loads and the binding's own version.</summary>
    public static class Library
    {
        /// <summary>The binding's version, the one place it is written (the
        /// assembly version and the NuGet package's version are this). The
        /// loaded library must have its MAJOR and at least its MINOR.</summary>
        public const string BindingVersion = "0.2.0";

        /// <summary>"MAJOR.MINOR.PATCH" of a KQ_VERSION_NUMBER-style number.</summary>
        public static string VersionText(int number)
        {
            return string.Format("{0}.{1}.{2}", number / 10000, number / 100 % 100, number % 100);
        }

        /// <summary>Version of the loaded library (KQ_GetVersion).</summary>
        public static string Version
        {
            get
            {
                Native.Prepare();
                return VersionText(Native.KQ_GetVersion());
            }
        }

        internal static void CheckVersion()
        {
            string[] parts = BindingVersion.Split('.');
            int major = int.Parse(parts[0]), minor = int.Parse(parts[1]);
            int number;
            try
            {
                number = Native.KQ_GetVersion();
            }
            catch (EntryPointNotFoundException)
            {
                throw new KqLibraryVersionException(string.Format(
                    "Kq: the KQ library is older than 0.2.0 (it has no KQ_GetVersion); this binding ({0}) needs {1}.{2} or a later {1}.x",
                    BindingVersion, major, minor));
            }
            if (number / 10000 != major || number / 100 % 100 < minor)
                throw new KqLibraryVersionException(string.Format(
                    "Kq: the KQ library is version {0}; this binding ({1}) needs {2}.{3} or a later {2}.x",
                    VersionText(number), BindingVersion, major, minor));
        }
    }

    /// <summary>The KQ library that was found cannot be used by this binding
    /// (another MAJOR version, an older MINOR, or no KQ_GetVersion).</summary>
    public sealed class KqLibraryVersionException : Exception
    {
        public KqLibraryVersionException(string message) : base(message) { }
    }

    /// <summary>Finds the native library for DllImport("kq") on .NET (Core
    /// 3.0 and later), where NativeLibrary.SetDllImportResolver exists: the
    /// default probing there looks for libkq.so, which only the development
    /// package has, not for the soname libkq.so.0. Mono uses the dllmap of
    /// Kq.dll.config instead, .NET Framework the DLL search path; both leave
    /// this unused. Everything is reached by reflection, so the assembly
    /// builds against Mono's 4.5 profile.</summary>
    public static class NativeResolver
    {
        static int registered;

        internal static void Register()
        {
            if (System.Threading.Interlocked.Exchange(ref registered, 1) == 1)
                return;
            Type native = Type.GetType("System.Runtime.InteropServices.NativeLibrary");
            Type resolver = Type.GetType("System.Runtime.InteropServices.DllImportResolver");
            if (native == null || resolver == null)
                return; // Mono, .NET Framework
            MethodInfo set = native.GetMethod("SetDllImportResolver", new[] { typeof(Assembly), resolver });
            MethodInfo tryLoad = native.GetMethod("TryLoad", new[] { typeof(string), typeof(IntPtr).MakeByRefType() });
            if (set == null || tryLoad == null)
                return;
            load = path => {
                var args = new object[] { path, IntPtr.Zero };
                return (bool)tryLoad.Invoke(null, args) ? (IntPtr)args[1] : IntPtr.Zero;
            };
            MethodInfo method = typeof(NativeResolver).GetMethod("Resolve", BindingFlags.NonPublic | BindingFlags.Static);
            try
            {
                set.Invoke(null, new object[] { typeof(Native).Assembly, Delegate.CreateDelegate(resolver, method) });
            }
            catch (TargetInvocationException)
            {
                // A resolver is already set for this assembly (by the program): keep it.
            }
        }

        static Func<string, IntPtr> load;

        static IntPtr Resolve(string name, Assembly assembly, DllImportSearchPath? searchPath)
        {
            if (name != "kq" || load == null)
                return IntPtr.Zero; // the default probing
            string dir = Path.GetDirectoryName(assembly.Location) ?? "";
            return Find(Candidates(RuntimeId(), dir, Environment.GetEnvironmentVariable("KQ_LIBRARY")), load);
        }

        /// <summary>The first candidate that load (a path or name to a
        /// handle, IntPtr.Zero when it does not load) takes.</summary>
        public static IntPtr Find(IEnumerable<string> candidates, Func<string, IntPtr> load)
        {
            foreach (string c in candidates)
            {
                IntPtr h = load(c);
                if (h != IntPtr.Zero)
                    return h;
            }
            return IntPtr.Zero;
        }

        /// <summary>Where the library is looked for, in order: KQ_LIBRARY
        /// (a path; nothing else then), next to the assembly, the package's
        /// runtimes/RID/native folder, then the system's search by name
        /// (libkq.so.0, the installed soname, before libkq.so).</summary>
        public static List<string> Candidates(string rid, string assemblyDir, string explicitPath)
        {
            var list = new List<string>();
            if (!string.IsNullOrEmpty(explicitPath))
            {
                list.Add(explicitPath);
                return list;
            }
            bool windows = rid.StartsWith("win", StringComparison.Ordinal);
            bool mac = rid.StartsWith("osx", StringComparison.Ordinal);
            string[] names = windows ? new[] { "kq.dll" } : mac ? new[] { "libkq.0.dylib", "libkq.dylib" } : new[] { "libkq.so.0", "libkq.so" };
            foreach (string n in names)
                list.Add(Path.Combine(assemblyDir, n));
            foreach (string n in names)
                list.Add(Path.Combine(Path.Combine(Path.Combine(Path.Combine(assemblyDir, "runtimes"), rid), "native"), n));
            list.AddRange(names);
            return list;
        }

        /// <summary>The runtime identifier of this process: win-x86, win-x64,
        /// linux-x64, linux-x86, linux-arm64, osx-x64, ...</summary>
        public static string RuntimeId()
        {
            string os;
            switch (Environment.OSVersion.Platform)
            {
            case PlatformID.Win32NT: os = "win"; break;
            case PlatformID.MacOSX: os = "osx"; break;
            default: os = Directory.Exists("/System/Library/CoreServices") ? "osx" : "linux"; break;
            }
            string arch = IntPtr.Size == 8 ? "x64" : "x86";
            Type info = Type.GetType("System.Runtime.InteropServices.RuntimeInformation");
            PropertyInfo pa = info == null ? null : info.GetProperty("ProcessArchitecture");
            if (pa != null)
            {
                string a = pa.GetValue(null, null).ToString().ToLowerInvariant();
                if (a == "arm64" || a == "arm")
                    arch = a;
            }
            return os + "-" + arch;
        }
    }
}
