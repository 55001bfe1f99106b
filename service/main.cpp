// kqd: options, config, signals, sd_notify. Wires the rooms together and
// holds no logic of its own.
#include "config/config.h"
#include "events/event_log.h"
#include "http/server.h"
#include "log/log.h"
#include "reader/reader_hub.h"
#ifdef KQD_HAVE_MQTT
#include "mqtt/kqd_hooks.h"
#include "mqtt/mqtt_config_toml.h"
#endif

#include <algorithm>
#include <cerrno>
#include <memory>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <unistd.h>

#ifdef KQD_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace {

using namespace kqd;

void Notify(const char* state) {
#ifdef KQD_HAVE_SYSTEMD
    sd_notify(0, state);
#else
    (void)state;
#endif
}

// Half the watchdog interval systemd asked for, 0 when it asked for none.
uint64_t WatchdogPeriodUs() {
#ifdef KQD_HAVE_SYSTEMD
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) {
        return usec / 2;
    }
#endif
    return 0;
}

std::string ExecutableDir() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.parent_path().string();
}

// The simulated reader: next to kqd (the build tree), then in the install's
// LIBDIR/kq.
std::string SimulatedLibrary() {
    std::error_code ec;
    std::string here = ExecutableDir();
    std::filesystem::path build(KQD_SIM_BUILD_PATH);
    for (const std::filesystem::path& p : {std::filesystem::path(here) / build.filename(), build,
                                           std::filesystem::path(KQD_SIM_INSTALL_PATH)}) {
        if (std::filesystem::exists(p, ec)) {
            return p.string();
        }
    }
    return "";
}

std::string DefaultWww() {
    std::error_code ec;
    for (const char* dir : {KQD_WWW_BUILD_DIR, KQD_WWW_INSTALL_DIR}) {
        if (std::filesystem::is_directory(dir, ec)) {
            return dir;
        }
    }
    return "";
}

} // namespace

int main(int argc, char** argv) {
    Config config;
    std::string error;
    std::vector<std::string> args(argv + 1, argv + argc);
#ifdef KQD_HAVE_MQTT
    mqtt::MqttConfig mqtt_config; // --mqtt* and [mqtt]: the broker link's own
    if (!mqtt::TakeMqttOptions(&args, &mqtt_config, &error)) {
        std::fprintf(stderr, "kqd: %s\n", error.c_str());
        return 2;
    }
#endif
    if (!ParseCommandLine(args, &config, &error)) {
        std::fprintf(stderr, "kqd: %s\n", error.c_str());
        return 2;
    }
    if (config.help) {
        std::fputs(kUsage, stdout);
#ifdef KQD_HAVE_MQTT
        std::fputs(mqtt::MqttUsage().c_str(), stdout);
#endif
        return 0;
    }
    if (config.version) {
        std::printf("kqd %s\n", KQD_VERSION);
        return 0;
    }
    if (!CheckConfig(config, &error)) {
        std::fprintf(stderr, "kqd: %s\n", error.c_str());
        return 2;
    }
    if (!config.www_set) {
        config.http.www_dir = DefaultWww();
    }
    if (config.simulated) {
        std::string lib = SimulatedLibrary();
        if (lib.empty()) {
            std::fprintf(stderr, "kqd: --simulated: the simulated reader library was not found\n");
            return 2;
        }
        // Before the library binds its driver (at its first call).
        setenv("KQ_D2XX", lib.c_str(), 1);
        if (!config.scenario.empty()) {
            if (access(config.scenario.c_str(), R_OK) != 0) {
                std::fprintf(stderr, "kqd: cannot read the scenario '%s'\n",
                             config.scenario.c_str());
                return 2;
            }
            setenv("KQSIM_SCENARIO", config.scenario.c_str(), 1);
        }
    } else if (!config.scenario.empty()) {
        std::fprintf(stderr, "kqd: --scenario needs --simulated\n");
        return 2;
    }
#ifdef KQD_HAVE_MQTT
    if (error = mqtt::FinishMqttConfig(mqtt_config); !error.empty()) {
        std::fprintf(stderr, "kqd: %s\n", error.c_str());
        return 2;
    }
#endif
    if (config.check_config) {
        std::printf("kqd: the configuration is good\n");
        return 0;
    }
    SetLogLevel(config.log_level);

    // Signals are taken by this thread alone (sigtimedwait below): block
    // them before any other thread exists so that every thread inherits it.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    EventLog log(config.history);
    ReaderHub hub(log, config.hub);
    log.Subscribe([](const Event& e) {
        if (LogEnabled(LogLevel::Debug)) {
            Log(LogLevel::Debug, "event " + ToJson(e).dump());
        } else if (e.kind == "online" || e.kind == "offline") {
            Log(LogLevel::Info, "reader " + e.reader + " " + e.kind);
        }
    });
#ifdef KQD_HAVE_MQTT
    std::unique_ptr<mqtt::MqttBridge> bridge;
    if (mqtt_config.Enabled()) {
        auto logger = [](int level, const std::string& m) {
            static const LogLevel levels[] = {LogLevel::Debug, LogLevel::Info, LogLevel::Warning,
                                              LogLevel::Error};
            Log(levels[std::clamp(level, 0, 3)], "mqtt: " + m);
        };
        bridge = std::make_unique<mqtt::MqttBridge>(mqtt_config,
                                                    mqtt::MakeBridgeHooks(log, hub, logger));
        config.http.extra_metrics = [b = bridge.get()] { return b->MetricsText(); };
    }
#endif
    HttpServer server(hub, log, config.http);
    if (!server.Start(&error)) {
        Log(LogLevel::Error, error);
        return 1;
    }
#ifdef KQD_HAVE_MQTT
    if (bridge) {
        if (std::string e = bridge->Start(); !e.empty()) {
            Log(LogLevel::Error, e);
            return 1;
        }
    }
#endif
    hub.Start();
    std::string host = config.http.host.find(':') != std::string::npos
                           ? "[" + config.http.host + "]"
                           : config.http.host;
    Log(LogLevel::Info, "listening on http://" + host + ":" + std::to_string(server.Port()) + "/" +
                            (config.simulated ? " (simulated reader)" : ""));
    if (config.http.www_dir.empty()) {
        Log(LogLevel::Warning, "no web page folder found: / serves nothing");
    }
    Notify("READY=1");

    uint64_t watchdog_us = WatchdogPeriodUs();
    for (;;) {
        timespec wait{};
        if (watchdog_us != 0) {
            wait.tv_sec = static_cast<time_t>(watchdog_us / 1000000);
            wait.tv_nsec = static_cast<long>((watchdog_us % 1000000) * 1000);
        } else {
            wait.tv_sec = 3600;
        }
        int sig = sigtimedwait(&signals, nullptr, &wait);
        if (sig == SIGINT || sig == SIGTERM) {
            Log(LogLevel::Info,
                std::string("stopping (") + (sig == SIGINT ? "SIGINT" : "SIGTERM") + ")");
            break;
        }
        if (sig == SIGHUP) {
            Log(LogLevel::Info, "SIGHUP ignored: restart kqd to apply a new configuration");
        }
        if (watchdog_us != 0) {
            Notify("WATCHDOG=1");
        }
    }
    Notify("STOPPING=1");
    server.Stop();
#ifdef KQD_HAVE_MQTT
    if (bridge) {
        bridge->Stop(); // before the hub: readers go offline on the broker as kqd's own end
    }
#endif
    hub.Stop();
    return 0;
}
