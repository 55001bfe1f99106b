// kqtool from the command line, against its built-in simulated reader: exit
// status and the output a user or a script relies on.
#include "kq.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <thread>
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// Tags of the tool's demo scenario.
const char kTagA[] = "E0040150A1B2C301"; // 4 characters per block
const char kTagB[] = "E0040150A1B2C302"; // 8 characters per block
const char kTagC[] = "E0040150A1B2C303"; // starts outside the field
const char kSensor[] = "E0040150A1B2C3F0";

struct ToolRun {
    int exit_code = -1;
    std::string out;
    std::string err;
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::istringstream in(out);
        std::string line;
        while (std::getline(in, line)) {
            lines.push_back(line);
        }
        return lines;
    }
};

std::string Describe(const ToolRun& r) {
    return "exit " + std::to_string(r.exit_code) + "\n--- stdout\n" + r.out + "--- stderr\n" +
           r.err;
}

#ifdef _WIN32

std::string ToolPath() {
    char path[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string self(path, n);
    return self.substr(0, self.find_last_of("\\/") + 1) + KQTOOL_NAME;
}

// Reads a pipe to its end on a thread of its own. The tool's standard
// streams are in text mode, so their lines end in CR LF; the text comes back
// with LF line ends, as on POSIX.
class PipeReader {
  public:
    explicit PipeReader(HANDLE pipe) : pipe_(pipe), thread_([this] { Drain(); }) {}
    ~PipeReader() { Join(); }
    std::string Join() {
        if (thread_.joinable()) {
            thread_.join();
            CloseHandle(pipe_);
            std::string lf;
            for (size_t i = 0; i < text_.size(); ++i) {
                if (!(text_[i] == '\r' && i + 1 < text_.size() && text_[i + 1] == '\n')) {
                    lf += text_[i];
                }
            }
            text_ = lf;
        }
        return text_;
    }

  private:
    void Drain() {
        char buf[4096];
        DWORD n = 0;
        while (ReadFile(pipe_, buf, sizeof buf, &n, nullptr) && n > 0) {
            text_.append(buf, n);
        }
    }
    HANDLE pipe_;
    std::string text_;
    std::thread thread_;
};

// One argument quoted for the C runtime's command-line parser: backslashes
// count only before a quote.
std::string QuoteArg(const std::string& arg) {
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        out += c;
        backslashes = 0;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

ToolRun RunTool(const std::vector<std::string>& args, int kill_after_ms = 60000) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out_read, out_write, err_read, err_write;
    if (!CreatePipe(&out_read, &out_write, &inherit, 0) ||
        !CreatePipe(&err_read, &err_write, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe failed";
        return ToolRun{};
    }
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
    std::string command = "\"";
    command += ToolPath();
    command += "\"";
    for (const std::string& a : args) {
        command += " ";
        command += QuoteArg(a);
    }
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out_write;
    si.hStdError = err_write;
    PROCESS_INFORMATION pi = {};
    BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &si, &pi);
    CloseHandle(out_write);
    CloseHandle(err_write);
    PipeReader out(out_read);
    PipeReader err(err_read);
    ToolRun r;
    if (!started) {
        ADD_FAILURE() << "CreateProcess failed for " << command;
        return r;
    }
    bool killed = false;
    if (WaitForSingleObject(pi.hProcess, static_cast<DWORD>(kill_after_ms)) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 255);
        WaitForSingleObject(pi.hProcess, INFINITE);
        killed = true;
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    r.exit_code = static_cast<int>(code);
    r.out = out.Join();
    r.err = err.Join();
    EXPECT_FALSE(killed) << "kqtool did not end within " << kill_after_ms << " ms";
    return r;
}

#else

std::string ToolPath() {
    return KQTOOL_PATH;
}

// Runs kqtool with args, collects stdout and stderr apart, and kills it if it
// has not ended after a generous bound (a hang fails the test, it does not
// stall the suite).
// Environment changes for the child: a name with an empty value is unset.
using EnvChanges = std::vector<std::pair<std::string, std::string>>;

ToolRun RunTool(const std::vector<std::string>& args, int kill_after_ms = 60000,
                int sigterm_after_ms = -1, const EnvChanges& env = {}) {
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
        ADD_FAILURE() << "pipe failed";
        return ToolRun{};
    }
    std::string path = ToolPath();
    std::vector<char*> argv;
    // A cross build's programs run under the same emulator as the test.
    std::string emulator = std::getenv("KQ_TEST_EMULATOR") ? std::getenv("KQ_TEST_EMULATOR") : "";
    if (!emulator.empty()) {
        argv.push_back(emulator.data());
    }
    argv.push_back(path.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        for (const auto& [name, value] : env) {
            if (value.empty()) {
                unsetenv(name.c_str());
            } else {
                setenv(name.c_str(), value.c_str(), 1);
            }
        }
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    ToolRun r;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open_count = 2;
    int waited_ms = 0;
    bool killed = false;
    while (open_count > 0) {
        int ready = poll(fds, 2, 100);
        if (ready == 0) {
            waited_ms += 100;
            if (sigterm_after_ms >= 0 && waited_ms >= sigterm_after_ms) {
                kill(pid, SIGTERM);
                sigterm_after_ms = -1;
            }
            if (waited_ms >= kill_after_ms && !killed) {
                kill(pid, SIGKILL);
                killed = true;
            }
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP)) != 0) {
                char buf[4096];
                ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    sinks[i]->append(buf, static_cast<size_t>(n));
                } else {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open_count;
                }
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    EXPECT_FALSE(killed) << "kqtool did not end within " << kill_after_ms << " ms";
    return r;
}

#endif

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The value of "key":"..." in a JSON line (none of the tool's texts here
// contain quotes).
std::string JsonField(const std::string& line, const std::string& key) {
    std::smatch m;
    std::regex re("\"" + key + "\":(\"[^\"]*\"|\\[[^\\]]*\\]|[-0-9.a-z]+)");
    if (!std::regex_search(line, m, re)) {
        return "<missing " + key + ">";
    }
    return m[1];
}

std::string Quoted(const std::string& s) {
    return "\"" + s + "\"";
}

// ---- Device management ------------------------------------------------------

const char kFallbackNote[] =
    "kqtool: no reader attached; using the simulated reader (--real to require one)\n";

TEST(KqtoolDevice, ListAndProbeFindTheSimulatedReader) {
    // No real reader here (KQ_D2XX names the simulated reader library): the
    // tool falls back to its simulated reader and says so.
    ToolRun list = RunTool({"list"});
    ASSERT_EQ(list.exit_code, 0) << Describe(list);
    EXPECT_EQ(list.Lines(), std::vector<std::string>{"KQSIM0001"}) << Describe(list);
    EXPECT_EQ(list.err, kFallbackNote);
    // Asked for, it needs no note.
    ToolRun asked = RunTool({"--simulated", "list"});
    ASSERT_EQ(asked.exit_code, 0) << Describe(asked);
    EXPECT_EQ(asked.Lines(), std::vector<std::string>{"KQSIM0001"}) << Describe(asked);
    EXPECT_EQ(asked.err, "");

    ToolRun json = RunTool({"list", "--json"});
    ASSERT_EQ(json.exit_code, 0) << Describe(json);
    ASSERT_EQ(json.Lines().size(), 1u) << Describe(json);
    EXPECT_EQ(JsonField(json.out, "serial"), Quoted("KQSIM0001"));
    EXPECT_EQ(JsonField(json.out, "ok"), "true");
    EXPECT_EQ(JsonField(json.out, "simulated"), "true");
    EXPECT_TRUE(Contains(json.out, "\"readers\":[{\"index\":0,\"serial\":\"KQSIM0001\"}]"))
        << Describe(json);

    ToolRun probe = RunTool({"probe", "--json"});
    ASSERT_EQ(probe.exit_code, 0) << Describe(probe);
    EXPECT_EQ(JsonField(probe.out, "status"), "0") << Describe(probe);
    EXPECT_EQ(JsonField(probe.out, "result"), "0") << Describe(probe);
    EXPECT_EQ(JsonField(probe.out, "status_name"), Quoted("FT_OK"));
}

TEST(KqtoolDevice, VersionIsTheHeadersAndNeedsNoReaderLibrary) {
    // A simulator library that does not exist: --version must not load it.
    ToolRun r = RunTool({"--version", "--sim-lib", "no-such-library"});
    ASSERT_EQ(r.exit_code, 0) << Describe(r);
    EXPECT_EQ(r.Lines(), std::vector<std::string>{std::string("kqtool ") + KQ_VERSION_STRING +
                                                  " (built against kq " + KQ_VERSION_STRING + ")"})
        << Describe(r);
    ToolRun json = RunTool({"--json", "--version"});
    ASSERT_EQ(json.exit_code, 0) << Describe(json);
    EXPECT_EQ(JsonField(json.out, "version"), Quoted(KQ_VERSION_STRING)) << Describe(json);
}

TEST(KqtoolDevice, AnUnknownDeviceFailsToOpenWithItsCodeName) {
    ToolRun r = RunTool({"probe", "--device", "NOSUCHREADER"});
    EXPECT_EQ(r.exit_code, 1) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "KQ_ERR_USB (16)")) << Describe(r);
    EXPECT_EQ(r.out, "");
}

#ifndef _WIN32
// --real leaves KQ_D2XX as the user set it: here the test's own setting,
// which names the simulator library (with its default state: one reader, no
// tags, so the demo scenario of the built-in target is absent).
TEST(KqtoolDevice, RealTargetUsesTheDriverThatKqD2xxNames) {
    ToolRun list = RunTool({"--real", "list"});
    ASSERT_EQ(list.exit_code, 0) << Describe(list);
    EXPECT_EQ(list.Lines(), std::vector<std::string>{"KQSIM0001"});

    ToolRun inventory = RunTool({"--real", "inventory", "--json"});
    ASSERT_EQ(inventory.exit_code, 0) << Describe(inventory);
    EXPECT_EQ(JsonField(inventory.out, "count"), "0") << Describe(inventory);
    EXPECT_FALSE(Contains(inventory.out, "simulated")) << Describe(inventory);
    EXPECT_EQ(inventory.err, "");
}

// A scenario file with two readers, each with a tag of its own.
std::string TwoReaderScenario() {
    std::string path = ::testing::TempDir() + "kqtool_two_readers.scenario";
    std::ofstream f(path);
    f << "reader KQSIM0001\ntag E004015000000011\ntiming off\n"
         "reader DESK-B\ntag E004015000000022\ntiming off\n";
    return path;
}

TEST(KqtoolDevice, ListShowsEveryReaderAndReaderPicksEach) {
    const std::string file = TwoReaderScenario();
    const EnvChanges env = {{"KQSIM_SCENARIO", file}};
    ToolRun list = RunTool({"--real", "list"}, 60000, -1, env);
    ASSERT_EQ(list.exit_code, 0) << Describe(list);
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{"KQSIM0001", "DESK-B"})) << Describe(list);

    ToolRun json = RunTool({"--real", "list", "--json"}, 60000, -1, env);
    ASSERT_EQ(json.exit_code, 0) << Describe(json);
    EXPECT_EQ(JsonField(json.out, "count"), "2") << Describe(json);
    EXPECT_TRUE(Contains(json.out, "\"readers\":[{\"index\":0,\"serial\":\"KQSIM0001\"},"
                                   "{\"index\":1,\"serial\":\"DESK-B\"}]"))
        << Describe(json);

    for (const auto& [serial, uid] : std::vector<std::pair<std::string, std::string>>{
             {"KQSIM0001", "E004015000000011"}, {"DESK-B", "E004015000000022"}}) {
        ToolRun inventory =
            RunTool({"--real", "--reader", serial, "inventory", "--json"}, 60000, -1, env);
        ASSERT_EQ(inventory.exit_code, 0) << Describe(inventory);
        EXPECT_EQ(JsonField(inventory.out, "uids"), "[" + Quoted(uid) + "]") << Describe(inventory);
    }
    // --device is the same option.
    ToolRun device = RunTool({"--real", "--device", "DESK-B", "inventory"}, 60000, -1, env);
    EXPECT_EQ(device.exit_code, 0) << Describe(device);
    EXPECT_TRUE(Contains(device.out, "E004015000000022")) << Describe(device);
    std::remove(file.c_str());
}

// A sysfs tree (KQ_SERIAL_SYSFS_ROOT) with n FTDI ports, for the serial
// provider and the tool's own look at the real drivers.
std::string FakeSysfs(const std::string& name, int ports) {
    namespace fs = std::filesystem;
    fs::path root = fs::path(::testing::TempDir()) / name;
    fs::remove_all(root);
    fs::create_directories(root / "class" / "tty");
    for (int i = 0; i < ports; ++i) {
        fs::path usb = root / "devices" / ("1-" + std::to_string(i + 1));
        fs::path port = usb / "1-1:1.0" / ("ttyUSB" + std::to_string(i));
        fs::create_directories(port);
        std::ofstream(usb / "idVendor") << "0403\n";
        std::ofstream(usb / "serial") << "FAKE000" << i + 1 << "\n";
        fs::create_directories(root / "class" / "tty" / ("ttyUSB" + std::to_string(i)));
        fs::create_directory_symlink(port, root / "class" / "tty" / ("ttyUSB" + std::to_string(i)) /
                                               "device");
    }
    return root.string();
}

TEST(KqtoolDevice, RealReadersAreUsedWhenAttachedAndRequiredWithReal) {
    // An FTDI port in sysfs: the tool takes the real drivers by itself.
    const std::string one = FakeSysfs("kqtool_sysfs_one", 1);
    const std::string dev = ::testing::TempDir(); // no ttyUSB0 node there
    const EnvChanges real = {
        {"KQ_D2XX", "serial"}, {"KQ_SERIAL_SYSFS_ROOT", one}, {"KQ_SERIAL_DEV_DIR", dev}};
    ToolRun list = RunTool({"list", "--json"}, 60000, -1, real);
    ASSERT_EQ(list.exit_code, 0) << Describe(list);
    EXPECT_EQ(JsonField(list.out, "serial"), Quoted("FAKE0001")) << Describe(list);
    EXPECT_FALSE(Contains(list.out, "simulated")) << Describe(list);
    EXPECT_FALSE(Contains(list.err, "simulated reader")) << Describe(list);
    // Never the demo tags: the reader cannot be opened, and that is the result.
    ToolRun inventory = RunTool({"inventory"}, 60000, -1, real);
    EXPECT_EQ(inventory.exit_code, 1) << Describe(inventory);
    EXPECT_FALSE(Contains(inventory.out, "E0040150A1B2C301")) << Describe(inventory);

    // None: by default the simulated reader, with --real an error that says
    // how to try the simulated one.
    const std::string none = FakeSysfs("kqtool_sysfs_none", 0);
    const EnvChanges empty = {
        {"KQ_D2XX", "serial"}, {"KQ_SERIAL_SYSFS_ROOT", none}, {"KQ_SERIAL_DEV_DIR", dev}};
    ToolRun fallback = RunTool({"inventory", "--json"}, 60000, -1, empty);
    ASSERT_EQ(fallback.exit_code, 0) << Describe(fallback);
    EXPECT_EQ(fallback.err, kFallbackNote) << Describe(fallback);
    EXPECT_EQ(JsonField(fallback.out, "simulated"), "true") << Describe(fallback);
    EXPECT_EQ(JsonField(fallback.out, "count"), "3") << Describe(fallback);
    ToolRun required = RunTool({"--real", "inventory"}, 60000, -1, empty);
    EXPECT_EQ(required.exit_code, 1) << Describe(required);
    EXPECT_TRUE(Contains(required.err, "kqtool --simulated")) << Describe(required);
    EXPECT_EQ(required.out, "") << Describe(required);
    std::filesystem::remove_all(one);
    std::filesystem::remove_all(none);
}
#endif

TEST(KqtoolDevice, EveryCommandHasItsOwnHelp) {
    ToolRun read = RunTool({"read", "--help"});
    ASSERT_EQ(read.exit_code, 0) << Describe(read);
    EXPECT_EQ(read.Lines().front(), "usage: kqtool read UID START COUNT") << Describe(read);
    EXPECT_TRUE(Contains(read.out, "--progress")) << Describe(read);
    EXPECT_FALSE(Contains(read.out, "--channel")) << Describe(read); // sensor's, not read's
    EXPECT_FALSE(Contains(read.out, "Commands:")) << Describe(read); // not the global usage
    for (const char* command : {"list", "probe", "beep", "inventory", "wait", "tag-command",
                                "write", "multi-read", "multi-write", "sensor", "loop"}) {
        ToolRun help = RunTool({"--help", command});
        EXPECT_EQ(help.exit_code, 0) << command << Describe(help);
        EXPECT_EQ(help.out.rfind(std::string("usage: kqtool ") + command, 0), 0u) << Describe(help);
    }
    ToolRun loop = RunTool({"loop", "uid", "-h"});
    EXPECT_TRUE(Contains(loop.out, "--for SECONDS")) << Describe(loop);
    ToolRun all = RunTool({"--help"});
    EXPECT_TRUE(Contains(all.out, "Commands:")) << Describe(all);
    EXPECT_TRUE(Contains(all.out, "  wait ")) << Describe(all);
    ToolRun unknown = RunTool({"frobnicate", "--help"});
    EXPECT_EQ(unknown.exit_code, 2) << Describe(unknown);
}

// ---- One-shot commands ------------------------------------------------------

TEST(KqtoolCommands, InventoryJsonListsTheTagsInTheField) {
    ToolRun r = RunTool({"inventory", "--json"});
    ASSERT_EQ(r.exit_code, 0) << Describe(r);
    std::vector<std::string> lines = r.Lines();
    ASSERT_EQ(lines.size(), 1u) << Describe(r);
    const std::string& line = lines[0];
    EXPECT_EQ(line.front(), '{');
    EXPECT_EQ(line.back(), '}');
    EXPECT_EQ(JsonField(line, "command"), Quoted("inventory"));
    EXPECT_EQ(JsonField(line, "ok"), "true");
    EXPECT_EQ(JsonField(line, "result"), "0");
    EXPECT_EQ(JsonField(line, "count"), "3");
    const std::string uids =
        std::string("[\"") + kTagA + "\",\"" + kTagB + "\",\"" + kSensor + "\"]";
    EXPECT_EQ(JsonField(line, "uids"), uids);
}

TEST(KqtoolCommands, ReadShowsTagMemoryTheSameWithAndWithoutProgress) {
    ToolRun r = RunTool({"read", kTagA, "0", "8"});
    ASSERT_EQ(r.exit_code, 0) << Describe(r);
    std::vector<std::string> lines = r.Lines();
    ASSERT_EQ(lines.size(), 2u) << Describe(r);
    EXPECT_EQ(lines[0], std::string(kTagA) + " blocks 0-7:");
    EXPECT_EQ(lines[1], "KQ-DEMO-TAG-A-HELLO-FROM-BLOCK-0");

    // 40 blocks: one library call, or three calls of 16, 16 and 8 blocks
    // with a progress line after each.
    ToolRun whole = RunTool({"read", kTagB, "0", "40", "--json", "--no-progress"});
    ToolRun split = RunTool({"read", kTagB, "0", "40", "--json", "--progress"});
    ASSERT_EQ(whole.exit_code, 0) << Describe(whole);
    ASSERT_EQ(split.exit_code, 0) << Describe(split);
    std::string data = JsonField(whole.out, "data");
    EXPECT_EQ(data.size(), 40u * 8 + 2) << Describe(whole);
    EXPECT_EQ(data.substr(0, 33), "\"TAG-B---EIGHT---CHARSPERBLOCK---");
    EXPECT_EQ(JsonField(split.out, "data"), data);
    EXPECT_TRUE(Contains(split.err, "16/40 blocks")) << Describe(split);
    EXPECT_TRUE(Contains(split.err, "40/40 blocks")) << Describe(split);
    EXPECT_FALSE(Contains(whole.err, "blocks")) << Describe(whole);
}

TEST(KqtoolCommands, WriteVerifiesAndMultiWriteTakesTargetsFromAFile) {
    ToolRun write = RunTool({"write", kTagB, "0", "20", "--progress",
                             std::string(160, 'W')}); // 8 characters a block, two calls
    ASSERT_EQ(write.exit_code, 0) << Describe(write);
    EXPECT_TRUE(Contains(write.out, "wrote and verified blocks 0-19")) << Describe(write);
    EXPECT_TRUE(Contains(write.err, "20/20 blocks")) << Describe(write);

    std::string file = ::testing::TempDir() + "kqtool_targets.txt";
    {
        std::ofstream f(file);
        f << "# targets\n" << kTagC << " CCCCCCCC\n\n" << kTagA << " AAAAAAAA\n";
    }
    ToolRun multi = RunTool({"multi-write", "0", "2", "--file", file, "--json"});
    std::remove(file.c_str());
    ASSERT_EQ(multi.exit_code, 0) << Describe(multi);
    // Tag C is not in the field: only A is written.
    EXPECT_EQ(JsonField(multi.out, "tag_count"), "3") << Describe(multi);
    EXPECT_EQ(JsonField(multi.out, "done_count"), "1");
    EXPECT_TRUE(Contains(multi.out, "\"written\":[{\"uid\":\"" + std::string(kTagA) +
                                        "\",\"data\":\"AAAAAAAA\"}]"))
        << Describe(multi);
}

#ifndef _WIN32
TEST(KqtoolCommands, AnInterruptedReadSaysHowManyBlocksItRead) {
    const char* emulator = std::getenv("KQ_TEST_EMULATOR");
    if (emulator != nullptr && emulator[0] != '\0') {
        GTEST_SKIP() << "signals to a threaded program are not reliable under " << emulator;
    }
    // 64 blocks take four library calls of about a third of a second each;
    // SIGTERM comes during one of them, which ends before the read stops.
    ToolRun r = RunTool({"read", kTagA, "0", "64", "--no-progress", "--json"}, 60000, 300);
    EXPECT_EQ(r.exit_code, 128 + SIGTERM) << Describe(r);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.err, m, std::regex("interrupted after ([0-9]+) of 64 blocks")))
        << Describe(r);
    EXPECT_EQ(JsonField(r.out, "interrupted"), "true") << Describe(r);
    EXPECT_EQ(JsonField(r.out, "ok"), "false") << Describe(r);
    EXPECT_EQ(JsonField(r.out, "done"), m[1].str()) << Describe(r);
    // The data of the blocks read: 4 characters each.
    EXPECT_EQ(JsonField(r.out, "data").size(), 4 * std::stoul(m[1].str()) + 2) << Describe(r);
    EXPECT_LT(std::stoul(m[1].str()), 64u);
}
#endif

TEST(KqtoolCommands, JsonEscapesQuotesAndBackslashesOfTagText) {
    ToolRun r = RunTool({"multi-write", "0", "1", std::string(kTagA) + "=A\"\\Z", "--json"});
    ASSERT_EQ(r.exit_code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "\"data\":\"A\\\"\\\\Z\"}]")) << Describe(r);

    // A control character is escaped (the simulated tag answers with the
    // text reversed). Text that is not ASCII never reaches the reader.
    ToolRun control = RunTool({"tag-command", "HELLO\x01", "--json"});
    ASSERT_EQ(control.exit_code, 0) << Describe(control);
    EXPECT_EQ(JsonField(control.out, "text"), Quoted("HELLO\\u0001")) << Describe(control);
    EXPECT_EQ(JsonField(control.out, "answer"), Quoted("\\u0001OLLEH")) << Describe(control);
    ToolRun utf8 = RunTool({"tag-command", "H\xC3\x89LLO", "--json"});
    EXPECT_EQ(utf8.exit_code, 2) << Describe(utf8);
    EXPECT_TRUE(Contains(utf8.err, "non-ASCII character (byte 0xC3) at position 2"))
        << Describe(utf8);
}

TEST(KqtoolCommands, MultiReadAndSensorReportTheirResults) {
    ToolRun multi = RunTool({"multi-read", "0", "2"});
    ASSERT_EQ(multi.exit_code, 0) << Describe(multi);
    std::vector<std::string> lines = multi.Lines();
    ASSERT_EQ(lines.size(), 4u) << Describe(multi);
    EXPECT_EQ(lines[0], "3 tags in the field, 3 read (blocks 0-1):");
    EXPECT_EQ(lines[1], "  " + std::string(kTagA) + "  KQ-DEMO-");
    EXPECT_EQ(lines[2], "  " + std::string(kTagB) + "  TAG-B---EIGHT---");

    ToolRun sensor = RunTool({"sensor", kSensor, "--json"});
    ASSERT_EQ(sensor.exit_code, 0) << Describe(sensor);
    EXPECT_EQ(JsonField(sensor.out, "value"), "90") << Describe(sensor); // the demo's 0x5A
    EXPECT_EQ(JsonField(sensor.out, "channel"), "0");
}

TEST(KqtoolCommands, LowerCaseUidsAreTakenInUpperCase) {
    ToolRun read = RunTool({"read", "e0040150a1b2c301", "0", "2"});
    ASSERT_EQ(read.exit_code, 0) << Describe(read);
    EXPECT_EQ(read.Lines(),
              (std::vector<std::string>{std::string(kTagA) + " blocks 0-1:", "KQ-DEMO-"}))
        << Describe(read);
    ToolRun multi = RunTool({"multi-write", "0", "1", "e0040150a1b2c301=LOWC", "--json"});
    ASSERT_EQ(multi.exit_code, 0) << Describe(multi);
    EXPECT_EQ(JsonField(multi.out, "done_count"), "1") << Describe(multi);
    EXPECT_TRUE(Contains(multi.out, std::string("\"uid\":\"") + kTagA)) << Describe(multi);
    ToolRun sensor = RunTool({"sensor", "e0040150a1b2c3f0", "--json"});
    ASSERT_EQ(sensor.exit_code, 0) << Describe(sensor);
    EXPECT_EQ(JsonField(sensor.out, "uid"), Quoted(kSensor)) << Describe(sensor);
}

TEST(KqtoolCommands, WaitPrintsTheFirstTagToArriveOrGivesUp) {
    // The simulated field starts empty; tag A arrives after --churn ms.
    ToolRun r = RunTool({"wait", "--churn", "300", "--timeout", "20000", "--json"});
    ASSERT_EQ(r.exit_code, 0) << Describe(r);
    EXPECT_EQ(JsonField(r.out, "uids"), "[" + Quoted(kTagA) + "]") << Describe(r);
    EXPECT_GE(std::stoi(JsonField(r.out, "waited_ms")), 250) << Describe(r);
    ToolRun text = RunTool({"--simulated", "wait", "--churn", "100"});
    ASSERT_EQ(text.exit_code, 0) << Describe(text);
    EXPECT_EQ(text.Lines(), std::vector<std::string>{kTagA}) << Describe(text);

    ToolRun none = RunTool({"wait", "--churn", "0", "--timeout", "300", "--json"});
    EXPECT_EQ(none.exit_code, 4) << Describe(none);
    EXPECT_EQ(JsonField(none.out, "ok"), "false") << Describe(none);
    EXPECT_EQ(JsonField(none.out, "timed_out"), "true") << Describe(none);
    EXPECT_EQ(JsonField(none.out, "uids"), "[]") << Describe(none);
    EXPECT_TRUE(Contains(none.err, "no tag within 300 ms")) << Describe(none);

    ToolRun lost = RunTool({"wait", "--churn", "0", "--sim-unplug", "200"});
    EXPECT_EQ(lost.exit_code, 3) << Describe(lost);
    EXPECT_TRUE(Contains(lost.err, "the reader was lost")) << Describe(lost);
}

// ---- Failures ---------------------------------------------------------------

TEST(KqtoolFailures, ALibraryFailureGivesItsCodeNameAndANonzeroExit) {
    // 3 characters for 2 blocks fit neither 4 nor 8 characters per block.
    ToolRun blocksize = RunTool({"write", kTagA, "0", "2", "ABC"});
    EXPECT_EQ(blocksize.exit_code, 1) << Describe(blocksize);
    EXPECT_TRUE(Contains(blocksize.err, "KQ_ERR_BLOCKSIZE (31)")) << Describe(blocksize);
    EXPECT_EQ(blocksize.out, "");

    // The same as JSON (a block count of 0 no longer reaches the library:
    // it is a usage error, below).
    ToolRun param = RunTool({"write", kTagA, "0", "2", "ABC", "--json"});
    EXPECT_EQ(param.exit_code, 1) << Describe(param);
    EXPECT_EQ(JsonField(param.out, "ok"), "false");
    EXPECT_EQ(JsonField(param.out, "result"), "31");
    EXPECT_EQ(JsonField(param.out, "name"), Quoted("KQ_ERR_BLOCKSIZE"));

    // A UID the reader does not know: its status is passed on.
    ToolRun unknown = RunTool({"read", "E0040150A1B2C399", "0", "4"});
    EXPECT_EQ(unknown.exit_code, 1) << Describe(unknown);
    EXPECT_TRUE(std::regex_search(unknown.err, std::regex("reader status [1-9]")))
        << Describe(unknown);
}

TEST(KqtoolFailures, UsageErrorsExitWithTwoBeforeTouchingTheReader) {
    struct Case {
        std::vector<std::string> args;
        const char* command; // as the JSON error names it ("null": none)
        const char* says;    // part of the message ("" = any)
    };
    const std::string a = kTagA;
    for (const Case& c : std::vector<Case>{
             {{}, "null", "no command"},
             {{"frobnicate"}, "\"frobnicate\"", "unknown command"},
             {{"read", a, "0"}, "\"read\"", ""},
             {{"read", a, "0", "256"}, "\"read\"", "COUNT must be a number 0-255"},
             {{"read", a, "255", "2"}, "\"read\"", "blocks 255-256 pass block 255"},
             {{"multi-read", "250", "10"}, "\"multi-read\"", "blocks 250-259 pass block 255"},
             {{"read", a.substr(0, 15), "0", "4"}, "\"read\"", "16 hexadecimal digits"},
             {{"write", "E0040150A1B2C30G", "0", "1", "ABCD"}, "\"write\"", "(16 characters)"},
             {{"sensor", kSensor, "--channel", "3"}, "\"sensor\"", "--channel needs a number 0-2"},
             {{"tag-command", std::string(36, 'T')}, "\"tag-command\"", "at most 35"},
             {{"tag-command", "HI\r\nGU"}, "\"tag-command\"", "(CR) at position 3"},
             {{"write", a, "0", "1", "AB\nD"}, "\"write\"", "(LF) at position 3"},
             {{"multi-write", "0", "1",
               a + "=A\x02"
                   "CD"},
              "\"multi-write\"",
              "STX (0x02) at position 2"},
             {{"multi-write", "0", "1", "NOEQUALSIGN"}, "\"multi-write\"", ""},
             {{"multi-write", "0", "1", "SHORTUID=ABCD"}, "\"multi-write\"", "16 hexadecimal"},
             {{"loop", "sideways"}, "\"loop sideways\"", "unknown loop kind"},
             {{"loop", "uid", "--file", "x"}, "\"loop uid\"", "--file does not apply"},
             {{"inventory", "--timeout"}, "\"inventory\"", "needs a value"},
             {{"inventory", "--for", "2"}, "\"inventory\"", "--for does not apply to inventory"},
             {{"beep", "--channel", "1"}, "\"beep\"", "--channel does not apply"},
             {{"beep", "-1"}, "\"beep\"", "0-255, not '-1'"},
             {{"--real", "--churn", "5", "loop", "uid"}, "\"loop uid\"", "simulated reader"},
             {{"list", "--real", "--simulated"}, "\"list\"", "exclude each other"},
             {{"--simulated", "--reader", "/dev/ttyUSB0", "probe"}, "\"probe\"", "real reader"},
             {{"list", "--reader", "KQSIM0001"}, "\"list\"", "--reader does not apply to list"},
             {{"read", a, "0", "0"}, "\"read\"", "COUNT must be a number 1-255, not '0'"},
             {{"write", a, "0", "0", "ABCD"}, "\"write\"", "COUNT must be a number 1-255"},
             {{"multi-read", "0", "0"}, "\"multi-read\"", "COUNT must be a number 1-255"},
             {{"loop", "multi-read", "3", "0"}, "\"loop multi-read\"", "COUNT must be"},
             {{"write", a, "0", "1", "AB\xC3\xA9"},
              "\"write\"",
              "non-ASCII character (byte 0xC3) at position 3"},
             {{"multi-write", "0", "1", a + "=\xE2\x82\xAC"}, "\"multi-write\"", "at position 1"},
             {{"multi-write", "0", "1", a + "=AAAA", "e0040150a1b2c301=BBBB"},
              "\"multi-write\"",
              "E0040150A1B2C301 is listed twice"},
             {{"wait", "now"}, "\"wait\"", "kqtool wait"},
             {{"wait", "--for", "1"}, "\"wait\"", "--for does not apply to wait"},
         }) {
        ToolRun r = RunTool(c.args);
        EXPECT_EQ(r.exit_code, 2) << Describe(r);
        EXPECT_TRUE(Contains(r.err, "usage")) << Describe(r);
        EXPECT_TRUE(Contains(r.err, c.says)) << "expected: " << c.says << "\n" << Describe(r);
        EXPECT_FALSE(Contains(r.err, "KQ_ERR")) << Describe(r); // the library was not asked
        EXPECT_EQ(r.out, "") << Describe(r);

        // With --json the same error is also one JSON object on stdout.
        std::vector<std::string> json_args = c.args;
        json_args.insert(json_args.begin(), "--json");
        ToolRun json = RunTool(json_args);
        EXPECT_EQ(json.exit_code, 2) << Describe(json);
        ASSERT_EQ(json.Lines().size(), 1u) << Describe(json);
        EXPECT_EQ(JsonField(json.out, "ok"), "false") << Describe(json);
        EXPECT_EQ(JsonField(json.out, "error"), Quoted("usage")) << Describe(json);
        EXPECT_EQ(JsonField(json.out, "command"), c.command) << Describe(json);
    }
}

// ---- Loop mode --------------------------------------------------------------

TEST(KqtoolLoop, LoopUidPrintsNotificationsAndTheLoopEnd) {
    ToolRun r = RunTool({"loop", "uid", "--for", "1"});
    ASSERT_EQ(r.exit_code, 0) << Describe(r);
    std::vector<std::string> lines = r.Lines();
    ASSERT_GE(lines.size(), 3u) << Describe(r);
    EXPECT_TRUE(Contains(lines.front(), "loop uid on KQSIM0001")) << Describe(r);
    EXPECT_TRUE(Contains(lines[1], std::string("3 tags: ") + kTagA)) << Describe(r);
    EXPECT_TRUE(Contains(lines.back(), "loop ended (WM_KQ_LOOPEND)")) << Describe(r);
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_FALSE(Contains(lines[i], "loop ended")) << "a loop end before the last line\n"
                                                       << Describe(r);
    }
}

TEST(KqtoolLoop, LoopUidJsonShowsTagsArrivingAndLeaving) {
    // The tool moves one tag every 300 ms: A leaves, B leaves, C arrives, A
    // arrives, ...
    ToolRun r = RunTool({"loop", "uid", "--json", "--for", "3", "--churn", "300"});
    ASSERT_EQ(r.exit_code, 0) << Describe(r);
    std::vector<std::string> lines = r.Lines();
    ASSERT_GE(lines.size(), 3u) << Describe(r);
    EXPECT_EQ(JsonField(lines.front(), "event"), Quoted("start"));
    EXPECT_EQ(JsonField(lines.back(), "event"), Quoted("loop_end"));
    bool a_left = false, c_arrived = false;
    int data = 0;
    for (const std::string& line : lines) {
        EXPECT_EQ(line.front(), '{');
        EXPECT_EQ(line.back(), '}');
        EXPECT_TRUE(std::regex_match(JsonField(line, "t"), std::regex("[0-9]+\\.[0-9]{3}")))
            << line; // every event carries its time, the start included
        if (JsonField(line, "event") != Quoted("data")) {
            continue;
        }
        ++data;
        a_left = a_left || Contains(JsonField(line, "left"), kTagA);
        c_arrived = c_arrived || Contains(JsonField(line, "arrived"), kTagC);
    }
    EXPECT_GE(data, 2) << Describe(r);
    EXPECT_TRUE(a_left) << Describe(r);
    EXPECT_TRUE(c_arrived) << Describe(r);
}

#ifndef _WIN32
TEST(KqtoolLoop, SigtermStopsTheLoopCleanly) {
    const char* emulator = std::getenv("KQ_TEST_EMULATOR");
    if (emulator != nullptr && emulator[0] != '\0') {
        // qemu-user loses a multi-threaded i386 guest's thread state across a
        // signal handler (the next pthread_join reports EDEADLK). The same
        // test runs natively in every other build.
        GTEST_SKIP() << "signals to a threaded program are not reliable under " << emulator;
    }
    // No --for: the loop runs until the signal, then stops with a loop end.
    ToolRun r = RunTool({"loop", "uid"}, 60000, 1500);
    EXPECT_EQ(r.exit_code, 0) << Describe(r);
    std::vector<std::string> lines = r.Lines();
    ASSERT_GE(lines.size(), 3u) << Describe(r);
    EXPECT_TRUE(Contains(lines.back(), "loop ended (WM_KQ_LOOPEND)")) << Describe(r);
}
#endif

#ifdef KQSIM_PATH
// argv for a program of the build, behind the emulator of a cross build.
std::vector<std::string> Command(const std::string& program, std::vector<std::string> args) {
    const char* emulator = std::getenv("KQ_TEST_EMULATOR");
    std::vector<std::string> argv;
    if (emulator != nullptr && emulator[0] != '\0') {
        argv.push_back(emulator);
    }
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// Starts argv with stdout on a new pipe (its read end returned in *out) and
// stderr on err_fd; setenv_kv is set in the child first.
pid_t Spawn(std::vector<std::string> argv, int* out, int err_fd,
            const std::vector<std::pair<std::string, std::string>>& setenv_kv = {}) {
    int fds[2];
    if (pipe(fds) != 0) {
        return -1;
    }
    std::vector<char*> args;
    for (std::string& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        for (const auto& [name, value] : setenv_kv) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        dup2(fds[1], 1);
        dup2(err_fd, 2);
        close(fds[0]);
        close(fds[1]);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    *out = fds[0];
    return pid;
}

// One line from fd (up to the newline), bounded by timeout_ms.
std::string ReadLine(int fd, int timeout_ms) {
    std::string line;
    char c = 0;
    pollfd pfd = {fd, POLLIN, 0};
    while (poll(&pfd, 1, timeout_ms) > 0 && read(fd, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    return line;
}

// Exit status of pid, killing it if it has not ended within timeout_ms.
int WaitExit(pid_t pid, int timeout_ms) {
    int status = 0;
    for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 10) {
        if (waited >= timeout_ms) {
            ADD_FAILURE() << "pid " << pid << " did not end within " << timeout_ms << " ms";
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Seconds stamp of a kqsim log line "[   0.5084] host  > ...".
double LogTime(const std::string& line) {
    return std::atof(line.c_str() + line.find('[') + 1);
}

// `kqtool loop uid | head -n 1` against kqsim on a pseudo-terminal: kqsim's
// log of frames shows whether the reader's own loop was switched off (LP
// after the last LT) and stayed off.
TEST(KqtoolLoop, AClosedOutputPipeStopsTheReadersLoop) {
    FILE* log = std::tmpfile();
    ASSERT_NE(log, nullptr);
    int sim_out = -1;
    pid_t sim =
        Spawn(Command(KQSIM_PATH, {"--tag", kTagA, "--interval", "100"}), &sim_out, fileno(log));
    ASSERT_GT(sim, 0);
    std::string tty = ReadLine(sim_out, 10000);
    ASSERT_EQ(tty.rfind("/dev/", 0), 0u) << "kqsim gave no tty: '" << tty << "'";

    int tool_out = -1;
    pid_t tool = Spawn(Command(ToolPath(), {"--real", "--device", tty, "loop", "uid"}), &tool_out,
                       2, {{"KQ_D2XX", "serial"}});
    ASSERT_GT(tool, 0);
    std::string first = ReadLine(tool_out, 10000); // head -n 1
    close(tool_out);
    EXPECT_TRUE(Contains(first, "loop uid on " + tty)) << first;
    EXPECT_EQ(WaitExit(tool, 20000), 0);
    usleep(600 * 1000); // six report intervals, had the reader's loop stayed on

    kill(sim, SIGTERM);
    WaitExit(sim, 10000);
    close(sim_out);
    std::rewind(log);
    std::vector<std::string> lines;
    char buf[512];
    while (std::fgets(buf, sizeof buf, log) != nullptr) {
        lines.emplace_back(buf);
    }
    std::fclose(log);
    std::string text;
    size_t last_lt = lines.size(), lp_after = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        text += lines[i];
        if (Contains(lines[i], "host  > <STX>LT")) {
            last_lt = i;
            lp_after = lines.size();
        } else if (Contains(lines[i], "host  > <STX>LP") && last_lt < lines.size() &&
                   lp_after == lines.size()) {
            lp_after = i;
        }
    }
    ASSERT_LT(last_lt, lines.size()) << "the reader's loop was never switched on\n" << text;
    ASSERT_LT(lp_after, lines.size()) << "no LP after the last LT\n" << text;
    for (size_t i = lp_after + 1; i < lines.size(); ++i) {
        if (Contains(lines[i], "reader< <STX>RGU")) {
            EXPECT_LT(LogTime(lines[i]) - LogTime(lines[lp_after]), 0.05)
                << "the reader still reports after LP\n"
                << text;
        }
    }
}
#endif

TEST(KqtoolLoop, LoopTagCommandWaitsForATagToAnswer) {
    // The loop starts with an empty field; the answer comes once a tag
    // arrives (the simulated tag answers with the text reversed).
    ToolRun r = RunTool({"loop", "tag-command", "PING", "--json", "--for", "2", "--churn", "300"});
    ASSERT_EQ(r.exit_code, 0) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "\"answer\":\"GNIP\"")) << Describe(r);
    std::vector<std::string> lines = r.Lines();
    ASSERT_FALSE(lines.empty()) << Describe(r);
    EXPECT_EQ(JsonField(lines.back(), "event"), Quoted("loop_end")) << Describe(r);
}

TEST(KqtoolLoop, ALostReaderEndsTheLoopWithExitThreeAndNoLoopEnd) {
    ToolRun r = RunTool({"loop", "uid", "--json", "--for", "20", "--sim-unplug", "500"});
    EXPECT_EQ(r.exit_code, 3) << Describe(r);
    std::vector<std::string> lines = r.Lines();
    ASSERT_FALSE(lines.empty()) << Describe(r);
    EXPECT_EQ(JsonField(lines.back(), "event"), Quoted("device_lost")) << Describe(r);
    EXPECT_FALSE(Contains(r.out, "loop_end")) << Describe(r);
    EXPECT_FALSE(Contains(r.out, "usberror")) << Describe(r); // one name per event
    EXPECT_TRUE(Contains(r.err, "was lost")) << Describe(r);
}

} // namespace
