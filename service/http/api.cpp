#include "http/api.h"

#include "ops/operation.h"
#include "text/percent.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kqd {

using nlohmann::json;

namespace {

// kqd's own result numbers for refusals at the edge (the library's codes are
// positive; the operation layer uses -1..-3).
constexpr int kNotFound = -4;
constexpr int kForbidden = -5;
constexpr int kTooLarge = -6;
constexpr int kBadRequest = -7;
constexpr int kUnauthorized = -8;
constexpr int kMethod = -9;
constexpr int kMediaType = -10;
constexpr int kParam = 29; // KQ_ERR_PARAM: a bad argument, refused before it is sent

std::string Lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

bool ConstantTimeEqual(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
    }
    return diff == 0 && !b.empty();
}

// Percent-decodes a path segment; false for a bad escape or a result that is
// not printable ASCII.
bool Decode(const std::string& in, std::string* out) {
    std::string s;
    if (!PercentDecode(in, s)) {
        return false;
    }
    for (char c : s) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) {
            return false;
        }
    }
    *out = s;
    return true;
}

json TagJson(const FieldTag& t) {
    return {{"uid", t.uid}, {"since", FormatTime(t.since_ms)}, {"since_ms", t.since_ms}};
}

json ReaderJson(const ReaderInfo& r) {
    json field = json::array();
    for (const auto& t : r.field) {
        field.push_back(TagJson(t));
    }
    return {{"serial", r.serial},
            {"state", r.state},
            {"state_since", FormatTime(r.state_since_ms)},
            {"state_since_ms", r.state_since_ms},
            {"field", field},
            {"inventories", r.inventories},
            {"queue_depth", r.queue_depth}};
}

Response Json(int status, const json& j) {
    Response r;
    r.status = status;
    // Replace, never throw, should text that is not UTF-8 ever get here.
    r.body = j.dump(-1, ' ', false, json::error_handler_t::replace);
    return r;
}

const char* ContentType(const std::string& ext) {
    static const std::pair<const char*, const char*> kTypes[] = {
        {".html", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"},
        {".json", "application/json"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".ico", "image/x-icon"},
        {".txt", "text/plain; charset=utf-8"},
        {".yaml", "text/plain; charset=utf-8"},
    };
    for (const auto& [e, type] : kTypes) {
        if (ext == e) {
            return type;
        }
    }
    return nullptr;
}

bool SafePathChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || c == '/';
}

} // namespace

std::vector<std::string> PathSegments(const std::string& path) {
    std::vector<std::string> out;
    size_t begin = 0;
    while (begin <= path.size()) {
        size_t at = path.find('/', begin);
        if (at == std::string::npos) {
            at = path.size();
        }
        if (at > begin) {
            out.push_back(path.substr(begin, at - begin));
        }
        begin = at + 1;
    }
    return out;
}

std::string QueryValue(const std::string& query, const std::string& name) {
    size_t begin = 0;
    while (begin < query.size()) {
        size_t end = query.find('&', begin);
        if (end == std::string::npos) {
            end = query.size();
        }
        std::string pair = query.substr(begin, end - begin);
        size_t eq = pair.find('=');
        if (pair.substr(0, eq) == name) {
            return eq == std::string::npos ? "" : pair.substr(eq + 1);
        }
        begin = end + 1;
    }
    return "";
}

std::vector<std::string> OwnOrigins(const HttpSettings& s, uint16_t port) {
    std::string p = std::to_string(port);
    std::vector<std::string> out = {"http://127.0.0.1:" + p, "http://localhost:" + p,
                                    "http://[::1]:" + p};
    std::string host = s.host.find(':') != std::string::npos && s.host.front() != '['
                           ? "[" + s.host + "]"
                           : s.host;
    if (host != "0.0.0.0" && host != "[::]") {
        out.push_back("http://" + Lower(host) + ":" + p);
    }
    return out;
}

Api::Api(ReaderHub& hub, EventLog& log, HttpSettings settings, HttpCounters& counters)
    : hub_(hub), log_(log), settings_(std::move(settings)), counters_(counters) {
    SetPort(settings_.port);
}

void Api::SetPort(uint16_t port) {
    settings_.port = port;
    origins_ = OwnOrigins(settings_, port);
    hosts_.clear();
    for (const auto& o : origins_) {
        hosts_.push_back(o.substr(7)); // without "http://"
    }
    for (const auto& h : settings_.allow_hosts) {
        std::string host = Lower(h);
        if (host.find(':') == std::string::npos || host.back() == ']') {
            host += ":" + std::to_string(port);
        }
        hosts_.push_back(host);
        origins_.push_back("http://" + host);
    }
    for (const auto& o : settings_.allow_origins) {
        std::string origin = Lower(o);
        while (!origin.empty() && origin.back() == '/') {
            origin.pop_back();
        }
        origins_.push_back(origin);
    }
}

bool Api::HostAllowed(const std::string& host) const {
    std::string h = Lower(host);
    return std::find(hosts_.begin(), hosts_.end(), h) != hosts_.end();
}

bool Api::OriginAllowed(const std::string& origin) const {
    std::string o = Lower(origin);
    return std::find(origins_.begin(), origins_.end(), o) != origins_.end();
}

bool Api::Authorized(const Request& req, const std::string& query) const {
    if (settings_.token.empty()) {
        return true;
    }
    const std::string bearer = "bearer ";
    if (req.authorization.size() > bearer.size() &&
        Lower(req.authorization.substr(0, bearer.size())) == bearer) {
        return ConstantTimeEqual(req.authorization.substr(bearer.size()), settings_.token);
    }
    // EventSource cannot send headers: the page may pass the token in the
    // query instead.
    std::string t = QueryValue(query, "access_token");
    return !t.empty() && ConstantTimeEqual(t, settings_.token);
}

Response Api::Error(int status, const std::string& name, int result, const std::string& message,
                    const std::string& field) {
    json e = {{"message", message}, {"result", result}, {"name", name}};
    if (!field.empty()) {
        e["field"] = field;
    }
    return Json(status, {{"error", e}});
}

void Api::Handle(const Request& req, std::function<void(Response)> reply) {
    auto finish = [this, reply = std::move(reply),
                   origin = req.has_origin ? req.origin : ""](Response r) {
        // CORS for an allowed foreign origin (kqd's own page needs none);
        // the API's answers are never cached.
        if (!origin.empty() && OriginAllowed(origin)) {
            r.headers.emplace_back("Access-Control-Allow-Origin", origin);
            r.headers.emplace_back("Vary", "Origin");
        }
        {
            std::lock_guard lock(counters_.mu);
            ++counters_.requests_by_status[r.status];
        }
        reply(std::move(r));
    };
    if (req.target.size() > settings_.max_url) {
        finish(Error(414, "KQD_ERR_TOO_LARGE", kTooLarge, "the URL is too long"));
        return;
    }
    // DNS rebinding: a page of another site that resolves its name to
    // 127.0.0.1 sends its own name as Host. Only kqd's names get an answer.
    if (!HostAllowed(req.host)) {
        finish(Error(403, "KQD_ERR_FORBIDDEN", kForbidden, "this Host is not served here"));
        return;
    }
    // A web site open in the user's browser must neither read nor write.
    if (req.has_origin && !OriginAllowed(req.origin)) {
        finish(
            Error(403, "KQD_ERR_FORBIDDEN", kForbidden, "requests from this Origin are refused"));
        return;
    }
    std::string path = req.target;
    std::string query;
    if (size_t q = path.find('?'); q != std::string::npos) {
        query = path.substr(q + 1);
        path.erase(q);
    }
    if (path.empty() || path[0] != '/') {
        finish(Error(400, "KQD_ERR_BAD_REQUEST", kBadRequest, "the request target must be a path"));
        return;
    }
    if (req.method == "OPTIONS") {
        // Preflight of an allowed origin (a refused one was answered above).
        Response r;
        r.status = 204;
        r.content_type.clear();
        r.headers.emplace_back("Access-Control-Allow-Methods", "GET, POST, OPTIONS");
        r.headers.emplace_back("Access-Control-Allow-Headers",
                               "Content-Type, Authorization, Last-Event-ID");
        r.headers.emplace_back("Access-Control-Max-Age", "600");
        finish(std::move(r));
        return;
    }
    // The page's own files hold no reader data: a browser must be able to
    // load them before the page can send the token (from its address) with
    // every API request. Health needs no token either; everything else does.
    const bool page_file = (req.method == "GET" || req.method == "HEAD") && path != "/metrics" &&
                           path != "/v1" && path.rfind("/v1/", 0) != 0;
    if (path != "/healthz" && !page_file && !Authorized(req, query)) {
        Response r = Error(401, "KQD_ERR_UNAUTHORIZED", kUnauthorized,
                           "a valid token is required (Authorization: Bearer TOKEN)");
        r.headers.emplace_back("WWW-Authenticate", "Bearer");
        finish(std::move(r));
        return;
    }
    Route(req, path, query, std::move(finish));
}

void Api::Route(const Request& req, const std::string& path, const std::string& query,
                std::function<void(Response)> reply) {
    const bool get = req.method == "GET" || req.method == "HEAD";
    const bool post = req.method == "POST";
    auto method_not_allowed = [&](const char* allow) {
        Response r = Error(405, "KQD_ERR_METHOD", kMethod,
                           std::string("method not allowed here (allowed: ") + allow + ")");
        r.headers.emplace_back("Allow", allow);
        reply(std::move(r));
    };
    if (path == "/healthz") {
        if (!get) {
            return method_not_allowed("GET");
        }
        HubStats s = hub_.Stats();
        reply(Json(200, {{"status", "ok"},
                         {"readers", s.readers_total},
                         {"readers_online", s.readers_online},
                         {"last_event", log_.LastSeq()}}));
        return;
    }
    if (path == "/metrics") {
        if (!get) {
            return method_not_allowed("GET");
        }
        reply(Metrics());
        return;
    }
    std::vector<std::string> seg = PathSegments(path);
    if (seg.empty() || seg[0] != "v1") {
        if (!get) {
            return method_not_allowed("GET");
        }
        reply(StaticFile(path, req.method == "HEAD"));
        return;
    }
    if (seg.size() == 2 && seg[1] == "events") {
        if (req.method != "GET") {
            return method_not_allowed("GET");
        }
        Response r;
        r.sse = true;
        std::string last =
            !req.last_event_id.empty() ? req.last_event_id : QueryValue(query, "last_event_id");
        if (!last.empty()) {
            uint64_t v = 0;
            bool ok = last.size() <= 19 && std::all_of(last.begin(), last.end(),
                                                       [](char c) { return c >= '0' && c <= '9'; });
            if (ok) {
                v = std::stoull(last);
            }
            if (!ok) {
                reply(Error(400, "KQ_ERR_PARAM", kParam, "Last-Event-ID must be a sequence number",
                            "Last-Event-ID"));
                return;
            }
            r.sse_resume = true;
            r.sse_after = v;
        }
        reply(std::move(r));
        return;
    }
    if (seg.size() < 2 || seg[1] != "readers") {
        reply(Error(404, "KQD_ERR_NOT_FOUND", kNotFound, "no such resource"));
        return;
    }
    if (seg.size() == 2) {
        if (!get) {
            return method_not_allowed("GET");
        }
        json list = json::array();
        for (const auto& r : hub_.Readers()) {
            list.push_back(ReaderJson(r));
        }
        reply(Json(200, {{"readers", list}}));
        return;
    }
    std::string serial;
    if (!Decode(seg[2], &serial) || serial.empty() || serial.size() >= 64) {
        reply(Error(400, "KQ_ERR_PARAM", kParam, "bad reader serial number", "serial"));
        return;
    }
    // Which endpoint, before the reader is looked up: a bad request is
    // refused whether or not the reader exists.
    std::string uid;
    OpKind kind{};
    bool op = false;
    if (seg.size() == 3 || (seg.size() == 4 && seg[3] == "field")) {
        if (!get) {
            return method_not_allowed("GET");
        }
        auto info = hub_.Reader(serial);
        if (!info) {
            reply(Error(404, "KQD_ERR_NOT_FOUND", kNotFound, "no reader " + serial, "serial"));
            return;
        }
        if (seg.size() == 3) {
            reply(Json(200, ReaderJson(*info)));
        } else {
            json field = json::array();
            for (const auto& t : info->field) {
                field.push_back(TagJson(t));
            }
            reply(Json(200, {{"serial", info->serial}, {"state", info->state}, {"field", field}}));
        }
        return;
    }
    if (seg.size() == 4 && (seg[3] == "command" || seg[3] == "beep" || seg[3] == "multi-read")) {
        op = true;
        kind = seg[3] == "command" ? OpKind::Command
               : seg[3] == "beep"  ? OpKind::Beep
                                   : OpKind::MultiRead;
    } else if (seg.size() == 6 && seg[3] == "tags" &&
               (seg[5] == "read" || seg[5] == "write" || seg[5] == "sensor")) {
        op = true;
        kind = seg[5] == "read" ? OpKind::Read : seg[5] == "write" ? OpKind::Write : OpKind::Sensor;
        uid = seg[4];
    }
    if (!op) {
        reply(Error(404, "KQD_ERR_NOT_FOUND", kNotFound, "no such resource"));
        return;
    }
    if (!post) {
        return method_not_allowed("POST");
    }
    // A browser's cross-site "simple" request carries text/plain or a form
    // type; only JSON is taken.
    std::string type = req.content_type.substr(0, req.content_type.find(';'));
    while (!type.empty() && type.back() == ' ') {
        type.pop_back();
    }
    if (!req.body.empty() && Lower(type) != "application/json") {
        reply(Error(415, "KQD_ERR_MEDIA_TYPE", kMediaType, "the body must be application/json",
                    "Content-Type"));
        return;
    }
    if (req.body.size() > settings_.max_body) {
        reply(Error(413, "KQD_ERR_TOO_LARGE", kTooLarge, "the body is too large", "body"));
        return;
    }
    auto parsed = ParseOp(kind, uid, req.body);
    if (auto* bad = std::get_if<FieldError>(&parsed)) {
        reply(Error(400, "KQ_ERR_PARAM", kParam, bad->message, bad->field));
        return;
    }
    OpRequest request = std::get<OpRequest>(std::move(parsed));
    const std::string name = OpKindName(kind);
    auto shared_reply = std::make_shared<std::function<void(Response)>>(reply);
    bool known =
        hub_.Submit(serial, std::move(request), [shared_reply, serial, name](OpResult res) {
            int status = HttpStatusFor(res);
            if (status != 200) {
                Response r = Error(status, res.name, res.result, res.message);
                if (status == 503) {
                    r.headers.emplace_back("Retry-After", "1");
                }
                (*shared_reply)(std::move(r));
                return;
            }
            json body = res.data.is_object() ? res.data : json::object();
            body["reader"] = serial;
            body["operation"] = name;
            body["result"] = res.result;
            body["name"] = res.name;
            (*shared_reply)(Json(200, body));
        });
    if (!known) {
        reply(Error(404, "KQD_ERR_NOT_FOUND", kNotFound, "no reader " + serial, "serial"));
    }
}

Response Api::Metrics() const {
    HubStats s = hub_.Stats();
    std::ostringstream m;
    auto metric = [&](const char* name, const char* type, const char* help, auto value) {
        m << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n'
          << name << ' ' << value << '\n';
    };
    metric("kqd_readers", "gauge", "Readers kqd knows.", s.readers_total);
    metric("kqd_readers_online", "gauge", "Readers connected now.", s.readers_online);
    metric("kqd_inventories_total", "counter", "Successful inventories.", s.inventories);
    metric("kqd_inventory_failures_total", "counter", "Failed inventories.", s.inventory_failures);
    metric("kqd_events_total", "counter", "Events appended to the log.", log_.LastSeq());
    metric("kqd_queue_depth", "gauge", "Operations waiting, over all readers.", s.queue_depth);
    metric("kqd_operations_refused_total", "counter",
           "Operations refused at once (queue full, reader offline).", s.operations_refused);
    m << "# HELP kqd_operations_total Operations run, by result.\n"
         "# TYPE kqd_operations_total counter\n";
    for (const auto& [name, n] : s.operations_by_result) {
        m << "kqd_operations_total{result=\"" << name << "\"} " << n << '\n';
    }
    metric("kqd_http_connections", "gauge", "Open HTTP connections.", counters_.connections.load());
    metric("kqd_http_connections_refused_total", "counter",
           "Connections closed at once: over the limit.", counters_.connections_refused.load());
    metric("kqd_http_timeouts_total", "counter", "Connections closed for slowness.",
           counters_.timeouts.load());
    {
        std::lock_guard lock(counters_.mu);
        m << "# HELP kqd_http_requests_total Requests answered, by status.\n"
             "# TYPE kqd_http_requests_total counter\n";
        for (const auto& [status, n] : counters_.requests_by_status) {
            m << "kqd_http_requests_total{status=\"" << status << "\"} " << n << '\n';
        }
    }
    metric("kqd_sse_clients", "gauge", "Event-stream clients connected now.",
           counters_.sse_clients.load());
    metric("kqd_sse_clients_dropped_total", "counter",
           "Event-stream clients dropped for not keeping up.",
           counters_.sse_dropped_clients.load());
    metric("kqd_events_dropped_total", "counter", "Events dropped clients did not receive.",
           counters_.events_dropped.load());
    if (settings_.extra_metrics) {
        m << settings_.extra_metrics();
    }
    Response r;
    r.content_type = "text/plain; version=0.0.4; charset=utf-8";
    r.body = m.str();
    return r;
}

Response Api::StaticFile(const std::string& path, bool head) const {
    namespace fs = std::filesystem;
    auto not_found = [] { return Error(404, "KQD_ERR_NOT_FOUND", kNotFound, "no such file"); };
    if (settings_.www_dir.empty()) {
        return not_found();
    }
    std::string rel = path == "/" ? "index.html" : path.substr(1);
    // Plain names only: no escapes, no "..", no hidden files, no folders.
    if (rel.empty() || rel.size() > 200 || rel.back() == '/' ||
        !std::all_of(rel.begin(), rel.end(), SafePathChar)) {
        return not_found();
    }
    for (const auto& s : PathSegments(rel)) {
        if (s[0] == '.') {
            return not_found();
        }
    }
    std::error_code ec;
    fs::path root = fs::canonical(settings_.www_dir, ec);
    if (ec) {
        return not_found();
    }
    fs::path file = fs::canonical(root / rel, ec);
    if (ec || !fs::is_regular_file(file, ec)) {
        return not_found();
    }
    // A symbolic link out of the folder is not served.
    auto [r_end, f_it] = std::mismatch(root.begin(), root.end(), file.begin(), file.end());
    if (r_end != root.end()) {
        return not_found();
    }
    const char* type = ContentType(file.extension().string());
    uintmax_t size = fs::file_size(file, ec);
    if (type == nullptr || ec || size > 8 * 1024 * 1024) {
        return not_found();
    }
    Response r;
    r.content_type = type;
    if (!head) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream data;
        data << in.rdbuf();
        r.body = data.str();
    }
    r.headers.emplace_back("Content-Security-Policy",
                           "default-src 'self'; frame-ancestors 'none'; base-uri 'none'; "
                           "form-action 'self'");
    return r;
}

} // namespace kqd
