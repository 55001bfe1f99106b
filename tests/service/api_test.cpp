// The API's checks and routing, without the network and without a reader
// (the hub is not started): what is refused at the edge is refused here.
#include "http/api.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace kqd;
namespace fs = std::filesystem;

class ApiTest : public ::testing::Test {
  protected:
    ApiTest() : hub_(log_, {}) {}

    Api& MakeApi(HttpSettings s = {}) {
        s.port = 8760;
        api_ = std::make_unique<Api>(hub_, log_, s, counters_);
        return *api_;
    }

    Response Call(Request req) {
        if (req.host.empty()) {
            req.host = "127.0.0.1:8760";
        }
        if (req.method.empty()) {
            req.method = "GET";
        }
        if (!api_) {
            MakeApi();
        }
        Response out;
        int calls = 0;
        api_->Handle(req, [&](Response r) {
            out = std::move(r);
            ++calls;
        });
        EXPECT_EQ(calls, 1) << "reply must run exactly once, at once without a reader";
        return out;
    }

    Response Get(const std::string& target) {
        Request r;
        r.target = target;
        return Call(r);
    }

    Response Post(const std::string& target, const std::string& body,
                  const std::string& content_type = "application/json") {
        Request r;
        r.method = "POST";
        r.target = target;
        r.body = body;
        r.content_type = content_type;
        return Call(r);
    }

    static nlohmann::json ErrorOf(const Response& r) {
        auto j = nlohmann::json::parse(r.body, nullptr, false);
        return j.is_object() && j.contains("error") ? j["error"] : nlohmann::json();
    }

    EventLog log_;
    ReaderHub hub_;
    HttpCounters counters_;
    std::unique_ptr<Api> api_;
};

TEST_F(ApiTest, OnlyKqdsOwnHostNamesGetAnAnswer) {
    for (std::string host : {"127.0.0.1:8760", "localhost:8760", "LocalHost:8760", "[::1]:8760"}) {
        Request r;
        r.target = "/v1/readers";
        r.host = host;
        EXPECT_EQ(Call(r).status, 200) << host;
    }
    for (std::string host : {"evil.example:8760", "127.0.0.1:8761", "127.0.0.1", "localhost",
                             "127.0.0.1:8760.evil.example", " "}) {
        Request r;
        r.target = "/v1/readers";
        r.host = host;
        Response res = Call(r);
        EXPECT_EQ(res.status, 403) << host;
        EXPECT_EQ(res.body.find("readers"), std::string::npos) << "nothing of the API leaks";
    }
}

TEST_F(ApiTest, AllowHostAddsANameAndItsOrigin) {
    HttpSettings s;
    s.allow_hosts = {"kqd.lan"};
    MakeApi(s);
    Request r;
    r.target = "/v1/readers";
    r.host = "kqd.lan:8760";
    r.origin = "http://kqd.lan:8760";
    r.has_origin = true;
    EXPECT_EQ(Call(r).status, 200);
}

TEST_F(ApiTest, ForeignOriginsAreRefusedOwnAndAllowedOnesAnswered) {
    HttpSettings s;
    s.allow_origins = {"https://desk.example/"};
    MakeApi(s);
    auto with_origin = [&](const std::string& origin, const std::string& method) {
        Request r;
        r.method = method;
        r.target = method == "POST" ? "/v1/readers/KQSIM0001/beep" : "/v1/readers";
        r.origin = origin;
        r.has_origin = true;
        r.content_type = "application/json";
        r.body = method == "POST" ? "{}" : "";
        return Call(r);
    };
    EXPECT_EQ(with_origin("http://evil.example", "GET").status, 403);
    EXPECT_EQ(with_origin("http://evil.example", "POST").status, 403);
    EXPECT_EQ(with_origin("null", "GET").status, 403);
    EXPECT_EQ(with_origin("", "GET").status, 403) << "an empty Origin is not kqd's";
    EXPECT_EQ(with_origin("http://127.0.0.1:8760", "GET").status, 200);
    Response allowed = with_origin("https://desk.example", "GET");
    EXPECT_EQ(allowed.status, 200);
    bool cors = false;
    for (const auto& [k, v] : allowed.headers) {
        cors = cors || (k == "Access-Control-Allow-Origin" && v == "https://desk.example");
    }
    EXPECT_TRUE(cors);
    EXPECT_EQ(with_origin("https://desk.example", "OPTIONS").status, 204);
    EXPECT_EQ(with_origin("http://evil.example", "OPTIONS").status, 403);
}

TEST_F(ApiTest, TokenIsRequiredWhenSet) {
    HttpSettings s;
    s.token = "0123456789abcdef";
    MakeApi(s);
    Request r;
    r.target = "/v1/readers";
    EXPECT_EQ(Call(r).status, 401);
    r.authorization = "Bearer 0123456789abcdeX";
    EXPECT_EQ(Call(r).status, 401);
    r.authorization = "Bearer 0123456789abcdef0";
    EXPECT_EQ(Call(r).status, 401);
    r.authorization = "Basic 0123456789abcdef";
    EXPECT_EQ(Call(r).status, 401);
    r.authorization = "Bearer 0123456789abcdef";
    EXPECT_EQ(Call(r).status, 200);
    EXPECT_EQ(Get("/v1/events?access_token=0123456789abcdef").sse, true);
    EXPECT_EQ(Get("/healthz").status, 200) << "health needs no token";
    EXPECT_EQ(Get("/metrics").status, 401);
}

TEST_F(ApiTest, RoutesAndMethods) {
    EXPECT_EQ(Get("/v1/readers").body, R"({"readers":[]})");
    Response unknown = Get("/v1/readers/KQSIM0001");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(ErrorOf(unknown)["field"], "serial");
    EXPECT_EQ(Get("/v1/readers/KQSIM0001/field").status, 404);
    EXPECT_EQ(Get("/v1/nothing").status, 404);
    EXPECT_EQ(Post("/v1/readers/KQSIM0001/tags/E004000000000001/read", R"({"count":1})").status,
              404);
    Response get_op = Get("/v1/readers/KQSIM0001/beep");
    EXPECT_EQ(get_op.status, 405);
    EXPECT_EQ(Post("/v1/readers", "{}").status, 405);
    EXPECT_EQ(Post("/healthz", "").status, 405);
    EXPECT_EQ(Post("/v1/readers/KQSIM0001/beep", "{}", "text/plain").status, 415)
        << "a cross-site simple request is not JSON";
    EXPECT_EQ(Get("/" + std::string(3000, 'a')).status, 414);
    EXPECT_EQ(Get("/healthz").status, 200);
    EXPECT_NE(Get("/metrics").body.find("kqd_readers_online 0"), std::string::npos);
}

TEST_F(ApiTest, BadInputIsRefusedNamingTheFieldBeforeTheReaderIsLookedUp) {
    struct Case {
        std::string target, body, field;
    };
    const std::string t = "/v1/readers/KQSIM0001/tags/";
    for (const Case& c : std::vector<Case>{
             {t + "E00400000000000Z/read", R"({"count":1})", "uid"},
             {t + "E004/read", R"({"count":1})", "uid"},
             {t + "E004000000000001/read", R"({"count":300})", "count"},
             {t + "E004000000000001/read", R"({"first":250,"count":10})", "count"},
             {t + "E004000000000001/read", "{bad json", "body"},
             {t + "E004000000000001/write", R"({"text":"AB\rCD"})", "text"},
             {t + "E004000000000001/write", R"({"text":"ABC\u00e9"})", "text"},
             {t + "E004000000000001/sensor", R"({"channel":7})", "channel"},
             {"/v1/readers/KQSIM0001/command", R"({"text":"\u0002GU"})", "text"},
             {"/v1/readers/KQSIM0001/beep", R"({"length":1000})", "length"},
             {"/v1/readers/KQSIM0001/multi-read", R"({"first":0})", "count"},
             {"/v1/readers/%ZZ/beep", "{}", "serial"},
         }) {
        Response r = Post(c.target, c.body);
        EXPECT_EQ(r.status, 400) << c.target << " " << c.body;
        EXPECT_EQ(ErrorOf(r)["field"], c.field) << c.target << " " << c.body;
        EXPECT_EQ(ErrorOf(r)["name"], "KQ_ERR_PARAM");
    }
    Response big = Post("/v1/readers/KQSIM0001/beep", std::string(9000, ' '));
    EXPECT_EQ(big.status, 413);
}

TEST_F(ApiTest, EventStreamAndLastEventId) {
    Response r = Get("/v1/events");
    EXPECT_TRUE(r.sse);
    EXPECT_FALSE(r.sse_resume);
    Request resume;
    resume.target = "/v1/events";
    resume.last_event_id = "42";
    r = Call(resume);
    EXPECT_TRUE(r.sse_resume);
    EXPECT_EQ(r.sse_after, 42u);
    resume.last_event_id = "4x";
    EXPECT_EQ(Call(resume).status, 400);
    resume.last_event_id = "99999999999999999999999";
    EXPECT_EQ(Call(resume).status, 400);
    EXPECT_EQ(Get("/v1/events?last_event_id=7").sse_after, 7u);
}

TEST_F(ApiTest, PageFilesOnlyFromTheFolder) {
    fs::path root = fs::path(::testing::TempDir()) / "kqd_www_test";
    fs::remove_all(root);
    fs::create_directories(root / "sub");
    std::ofstream(root / "index.html") << "<p>kqd</p>";
    std::ofstream(root / "app.js") << "1;";
    std::ofstream(root / ".secret.txt") << "no";
    std::ofstream(root / "data.bin") << "no";
    std::ofstream(root.parent_path() / "kqd_outside.txt") << "outside";
    fs::create_symlink(root.parent_path() / "kqd_outside.txt", root / "link.txt");
    HttpSettings s;
    s.www_dir = root.string();
    MakeApi(s);
    Response index = Get("/");
    EXPECT_EQ(index.status, 200);
    EXPECT_EQ(index.body, "<p>kqd</p>");
    EXPECT_EQ(index.content_type, "text/html; charset=utf-8");
    EXPECT_EQ(Get("/app.js").content_type, "text/javascript; charset=utf-8");
    for (std::string bad :
         {"/../kqd_outside.txt", "/sub/../../kqd_outside.txt", "/.secret.txt", "/sub/", "/sub",
          "/link.txt", "/data.bin", "/%2e%2e/kqd_outside.txt", "/index.html%00", "/missing.html"}) {
        EXPECT_EQ(Get(bad).status, 404) << bad;
    }
    // With a token, the page's files still load (the page then sends the
    // token with its API requests); the API and the metrics do not.
    s.token = "0123456789abcdef";
    MakeApi(s);
    EXPECT_EQ(Get("/").status, 200);
    EXPECT_EQ(Get("/app.js").status, 200);
    EXPECT_EQ(Get("/missing.html").status, 404);
    EXPECT_EQ(Get("/v1/readers").status, 401);
    EXPECT_EQ(Get("/v1").status, 401);
    EXPECT_EQ(Get("/metrics").status, 401);
    EXPECT_EQ(Post("/index.html", "{}").status, 401)
        << "only GET and HEAD of page files need no token";
    fs::remove_all(root);
    fs::remove(root.parent_path() / "kqd_outside.txt");
}

} // namespace
