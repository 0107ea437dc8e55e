#include "corvane/util/http.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "corvane/util/errors.hpp"
#include "support/http_server.hpp"
#include "support/silent_server.hpp"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

class HttpGet : public ::testing::Test {
 protected:
  void SetUp() override {
    auto& s = server.server();
    s.Get("/doc", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("{\"ok\": true}", "application/json");
    });
    s.Get("/missing", [](const httplib::Request&, httplib::Response& res) { res.status = 404; });
    s.Get("/broken", [](const httplib::Request&, httplib::Response& res) { res.status = 500; });
    s.Get("/moved", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/doc"); });
    s.Get("/to-file", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("file:///etc/passwd");
    });
    s.Get("/loop", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/loop"); });
    s.Get("/huge", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(kMaxResponseBody + 1, 'x'), "text/plain");
    });
    s.Get("/trickle", [](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("application/json", [](size_t offset, httplib::DataSink& sink) {
        if (offset >= 8) return false;  // a handful of bytes, slowly
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        return sink.write("{", 1);
      });
    });
    server.start();
  }
  testing::LoopbackServer server;
};

TEST_F(HttpGet, ResponsesAndStatuses) {
  HttpClientResponse ok = http_get(server.url("/doc"), 1);
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, "{\"ok\": true}");
  EXPECT_NO_THROW(ok.raise_for_status());

  HttpClientResponse moved = http_get(server.url("/moved"), 1);
  EXPECT_EQ(moved.body, "{\"ok\": true}");
  EXPECT_EQ(moved.url, server.url("/doc"));

  for (const char* path : {"/missing", "/broken"}) {
    HttpClientResponse failed = http_get(server.url(path), 1);
    EXPECT_FALSE(failed.ok());
    EXPECT_THROW(failed.raise_for_status(), HTTPError);
  }
}

TEST_F(HttpGet, FailuresAreNamedRequestErrors) {
  auto kind_of = [](const std::string& url) -> std::string {
    try {
      http_get(url, 1);
    } catch (const RequestException& error) {
      return error.kind();
    }
    return "no error";
  };
  EXPECT_EQ(kind_of(server.url("/to-file")), "InvalidSchema");  // never followed
  EXPECT_EQ(kind_of(server.url("/loop")), "TooManyRedirects");
  EXPECT_EQ(kind_of(server.url("/huge")), "ContentTooLarge");
  EXPECT_EQ(kind_of("ftp://127.0.0.1/keys.json"), "InvalidSchema");
  EXPECT_EQ(kind_of("file:///etc/passwd"), "InvalidSchema");
  EXPECT_EQ(kind_of("http://127.0.0.1:1/"), "ConnectionError");
  EXPECT_EQ(kind_of("https://127.0.0.1:" + std::to_string(server.port()) + "/doc"), "SSLError");
}

TEST_F(HttpGet, TimeoutsBoundTheFetch) {
  testing::SilentServer silent;
  auto started = Clock::now();
  EXPECT_THROW(http_get(silent.url("/"), 1), Timeout);
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(3));

  started = Clock::now();
  EXPECT_THROW(http_get(server.url("/trickle"), 1), Timeout);
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(5));

  EXPECT_THROW(http_get(server.url("/doc"), 0), ValueError);
}

}  // namespace
}  // namespace corvane
