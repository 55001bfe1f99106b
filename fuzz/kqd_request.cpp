// kqd's request handling from the first byte: the input is what a client
// sends on a connection. Beast's parser (with kqd's limits) takes it apart,
// the API checks and routes it (no reader is started, so nothing is ever
// queued). Fails on a crash, a leak, a reply not given exactly once, a JSON
// answer that is not JSON, or an operation that was not refused.
#include "http/api.h"
#include "http/beast_request.h"

#include <boost/beast/core.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

struct World {
    kqd::EventLog log{64};
    kqd::ReaderHub hub{log, {}};
    kqd::HttpCounters counters;
    std::unique_ptr<kqd::Api> api;

    World() {
        auto dir = std::filesystem::temp_directory_path() / "kqd_fuzz_www";
        std::filesystem::create_directories(dir / "sub");
        std::ofstream(dir / "index.html") << "<p>kqd</p>";
        std::ofstream(dir / "sub" / "app.js") << "1;";
        kqd::HttpSettings s;
        s.port = 8760;
        s.www_dir = dir.string();
        s.allow_origins = {"http://desk.example"};
        api = std::make_unique<kqd::Api>(hub, log, s, counters);
    }
};

World& TheWorld() {
    static World w;
    return w;
}

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "kqd_request: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace http = boost::beast::http;
    World& w = TheWorld();
    http::request_parser<http::string_body> parser;
    parser.header_limit(8192);
    parser.body_limit(8192);
    parser.eager(true);
    boost::beast::error_code ec;
    size_t used = parser.put(boost::asio::buffer(data, size), ec);
    if (!ec && !parser.is_done() && used == size) {
        parser.put_eof(ec);
    }
    if (ec || !parser.is_done()) {
        return 0;
    }
    kqd::Request req = kqd::ToRequest(parser.get());
    int calls = 0;
    kqd::Response res;
    w.api->Handle(req, [&](kqd::Response r) {
        ++calls;
        res = std::move(r);
    });
    Check(calls == 1, "the reply did not run exactly once");
    Check(res.status >= 200 && res.status < 600, "status out of range");
    if (res.content_type == "application/json" && !res.body.empty()) {
        Check(!nlohmann::json::parse(res.body, nullptr, false).is_discarded(),
              "a JSON answer that is not JSON");
    }
    // No reader exists: an operation must never succeed.
    Check(!(req.method == "POST" && res.status == 200), "a POST succeeded without a reader");
    return 0;
}
