// Opening and closing the reader for a command.
#include "session.h"

#include "diagnose.h"
#include "output.h"

#include <cstdio>
#include <cstring>

namespace kqtool {

namespace {

void ReportJsonFailure(const Options& options, const char* command, int code, Op op) {
    if (options.json) {
        JsonObject json;
        json.Str("command", command);
        AddResult(json, code, op);
        PrintLine(json.Text());
    }
}

} // namespace

void ExplainRealFailure(const Target& target, const char* serial) {
    if (target.IsSimulated()) {
        return;
    }
    std::string advice = DiagnoseOpenFailure(serial);
    if (serial == nullptr || serial[0] == '\0') {
        advice += "To try kqtool without a reader: kqtool --simulated COMMAND\n";
    }
    std::fputs(advice.c_str(), stderr);
    std::fflush(stderr);
}

int ChooseSerial(const Options& options, std::string* serial) {
    if (!options.device.empty()) {
        *serial = options.device;
        return KQ_OK;
    }
    char buffer[KQ_SERIALNO_BUFFER_SIZE] = {};
    int rc = KQ_GetSerialNo(buffer);
    if (rc != KQ_OK) {
        return rc;
    }
    buffer[sizeof buffer - 1] = '\0';
    *serial = buffer;
    return KQ_OK;
}

Session::Session(const Options& options, Target& target)
    : options_(options), target_(target), prop_(std::make_unique<KQ_PROPERTY>()) {
    std::memset(prop_.get(), 0, sizeof(KQ_PROPERTY));
}

Session::~Session() {
    if (open_) {
        Close();
    }
}

int Session::Open(const char* command, KQ_HWND notify, bool loop_mode) {
    target_.SayWhenSimulatedForLackOfReader();
    int rc = ChooseSerial(options_, &serial_);
    if (rc != KQ_OK) {
        ReportFailure("no reader found", rc, Op::GetSerialNo);
        ExplainRealFailure(target_, nullptr);
        ReportJsonFailure(options_, command, rc, Op::GetSerialNo);
        return rc;
    }
    KQ_PROPERTY& p = *prop_;
    std::memset(&p, 0, sizeof p);
    p.WriteTimeout = options_.timeout_ms;
    p.ReadTimeout = options_.timeout_ms;
    p.SerialNo = serial_.c_str();
    p.Handle = nullptr;
    p.BuzzerOn = options_.buzzer >= 0 ? 1 : 0;
    p.BuzzerTime = static_cast<unsigned char>(options_.buzzer >= 0 ? options_.buzzer : 0);
    p.LoopMode = loop_mode ? 1 : 0;
    p.StopFlag = 1;
    p.hWnd = notify;
    p.hThread = nullptr;
    KQ_Init_PROPERTY(&p);
    rc = KQ_OpenUSB(&p);
    if (rc != KQ_OK) {
        ReportFailure("cannot open the reader '" + serial_ + "'", rc, Op::Open);
        ExplainRealFailure(target_, serial_.c_str());
        ReportJsonFailure(options_, command, rc, Op::Open);
        return rc;
    }
    open_ = true;
    return KQ_OK;
}

int Session::Close() {
    if (!open_) {
        return KQ_OK;
    }
    open_ = false;
    int rc = KQ_CloseUSB(prop_.get());
    if (rc != KQ_OK) {
        ReportFailure("closing the reader", rc, Op::Close);
    }
    return rc;
}

} // namespace kqtool
