// Start-up against misbehaving key set servers: the faulty provider is
// skipped with its warning, the others serve, and start-up stays bounded.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "cli/recording_request.hpp"
#include "corvane/auth/jwt/jwt.hpp"
#include "corvane/users/users.hpp"
#include "corvane/util/logging.hpp"
#include "support/http_server.hpp"
#include "support/mint.hpp"
#include "support/policy_fixture.hpp"
#include "support/silent_server.hpp"

namespace corvane::auth::jwt {
namespace {

const std::string kSecret = "start-up fault secret, 32 bytes or more";

class StartupFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    good_jwks = dir.write("jwks.json", Json{{"keys", {testing::oct_jwk(kSecret, "k1")}}}.dump());
    auto& s = server.server();
    s.Get("/trickle", [](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("application/json", [](size_t offset, httplib::DataSink& sink) {
        if (offset >= 30) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        return sink.write(" ", 1);
      });
    });
    s.Get("/huge", [](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(100 * 1024 * 1024, "application/json",
                               [](size_t offset, size_t length, httplib::DataSink& sink) {
                                 std::string block(std::min<size_t>(length, 65536), ' ');
                                 (void)offset;
                                 return sink.write(block.data(), block.size());
                               });
    });
    s.Get("/loop", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/loop"); });
    s.Get("/to-passwd", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("file:///etc/passwd");
    });
    s.Get("/rotating", [this](const httplib::Request&, httplib::Response& res) {
      std::string secret = fetches++ == 0 ? kSecret : "a rotated secret that replaced the first";
      res.set_content(Json{{"keys", {testing::oct_jwk(secret, "k1")}}}.dump(), "application/json");
    });
    server.start();
  }

  // Builds a policy with the faulty provider first and a good one after it.
  std::unique_ptr<JWTAuthenticationPolicy> build(const std::string& faulty_uri, std::vector<std::string>& warnings) {
    host::AuthConfiguration configuration = testing::jwt_configuration(
        {{"faulty", testing::email_provider(faulty_uri)}, {"good", testing::email_provider(good_jwks)}});
    auto users = std::make_shared<Users>();
    users->add("alice", {{"email", "alice@example.org"}});
    configuration.users = users;
    logging::Capture capture(spdlog::level::warn);
    auto policy = std::make_unique<JWTAuthenticationPolicy>(host::IniSettings{}, configuration);
    warnings = capture.messages();
    return policy;
  }

  static std::optional<std::string> authenticate(const JWTAuthenticationPolicy& policy, const std::string& idp) {
    apps::SimpleRequest request;
    request.header("Authorization", testing::bearer(testing::mint_hs256(
                                        kSecret, "k1", {{"sub", "a"}, {"email", "alice@example.org"}})))
        .query("idp_id", idp)
        .format("json");
    return policy.authenticated_userid(request);
  }

  testing::TempDir dir;
  testing::LoopbackServer server;
  std::string good_jwks;
  std::atomic<int> fetches{0};
};

TEST_F(StartupFaults, FaultyServersAreSkippedWithinTheirTimeouts) {
  testing::SilentServer silent;
  const std::string skipped = "Identity provider \"faulty\" was skipped due to invalid configuration in JWT "
                              "authentication policy. ";
  struct Case {
    const char* name;
    std::string uri;
  } cases[] = {
      {"never answers", silent.url("/jwks")},
      {"trickles a byte a second", server.url("/trickle")},
      {"100 MiB body", server.url("/huge")},
      {"redirect loop", server.url("/loop")},
      {"redirect to a local file", server.url("/to-passwd")},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> warnings;
    auto started = std::chrono::steady_clock::now();
    auto policy = build(c.uri, warnings);
    // One second of time-out: connecting, each wait, three in all for a fetch.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], skipped + "Data could not be retrieved from the resource " + c.uri +
                               ". Verify the local file path or URI.");
    EXPECT_EQ(authenticate(*policy, "good"), "alice");
    EXPECT_EQ(authenticate(*policy, "faulty"), std::nullopt);
  }
}

TEST_F(StartupFaults, SelfSignedCertificateIsRefused) {
  if (std::system("command -v openssl >/dev/null") != 0) GTEST_SKIP() << "openssl command not installed";
  std::string cert = dir.path() + "/cert.pem", key = dir.path() + "/key.pem";
  std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj "
                        "/CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " + key + " -out " + cert +
                        " >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  httplib::SSLServer tls(cert.c_str(), key.c_str());
  ASSERT_TRUE(tls.is_valid());
  tls.Get("/jwks", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(testing::read_file(good_jwks), "application/json");
  });
  int port = tls.bind_to_any_port("127.0.0.1");
  std::thread thread([&] { tls.listen_after_bind(); });
  while (!tls.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::vector<std::string> warnings;
  std::string uri = "https://127.0.0.1:" + std::to_string(port) + "/jwks";
  auto policy = build(uri, warnings);
  tls.stop();
  thread.join();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("Data could not be retrieved from the resource " + uri), std::string::npos);
  EXPECT_EQ(authenticate(*policy, "good"), "alice");
}

TEST_F(StartupFaults, KeySetIsLoadedOnceAndKept) {
  std::vector<std::string> warnings;
  auto first = build(server.url("/rotating"), warnings);
  EXPECT_TRUE(warnings.empty());
  auto second = build(server.url("/rotating"), warnings);  // the server now serves another key
  EXPECT_EQ(fetches.load(), 2);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(authenticate(*first, "faulty"), "alice");  // no refetch per request
  EXPECT_EQ(fetches.load(), 2);
  EXPECT_EQ(authenticate(*second, "faulty"), std::nullopt);
}

}  // namespace
}  // namespace corvane::auth::jwt
