#include "cli.hpp"

#include <CLI/CLI.hpp>
#include <pthread.h>

#include <csignal>

#include <chrono>
#include <filesystem>
#include <ostream>

#include "app_config.hpp"
#include "demo_idp.hpp"
#include "jwk_tools.hpp"
#include "reports.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/file.hpp"

namespace corvane::apps {
namespace {

// Ten years: long enough for any demo, short enough to stay an integer date.
constexpr long long kMaxTtl = 10LL * 365 * 24 * 3600;

Json read_json_file(const std::string& path, const std::string& what) {
  std::string text;
  try {
    text = read_text_file(path);
  } catch (const Exception& error) {
    throw ConfigError(path + ": cannot read the " + what + " (" + describe_error(error) + ")");
  }
  try {
    return parse_json(text, 64);
  } catch (const Exception& error) {
    throw ConfigError(path + ": the " + what + " is not valid JSON (" + error.what() + ")");
  }
}

struct KeygenOptions {
  std::string alg, kid, jwks, key;
  bool force = false;
};

int keygen(const KeygenOptions& options, std::ostream& out) {
  const std::optional<Alg> alg = parse_alg(options.alg);
  if (!alg) throw ConfigError("--alg must be one of RS256, PS256, ES256, ES384, ES512, EdDSA, HS256");
  if (options.kid.empty()) throw ConfigError("--kid must not be empty");
  refuse_symbolic_link(options.key);
  refuse_symbolic_link(options.jwks);
  if (!options.force && std::filesystem::exists(options.key)) {
    throw ConfigError(options.key + ": the private key file exists; pass --force to replace it");
  }
  Json key_set = std::filesystem::exists(options.jwks) ? read_json_file(options.jwks, "key set")
                                                       : Json{{"keys", Json::array()}};
  // Checked before the key is made, so a refused kid leaves both files alone.
  check_kid_free(key_set, options.kid);

  const Json private_key = generate_private_jwk(*alg, options.kid);
  add_to_key_set(key_set, public_jwk(private_key));
  write_private_file(options.key, private_key.dump(2) + "\n");
  write_key_set_file(options.jwks, key_set);
  out << "wrote the " << options.alg << " key \"" << options.kid << "\" to " << options.key << " (mode 0600); "
      << options.jwks << " holds " << key_set["keys"].size() << " key(s)\n";
  return kOkExit;
}

struct MintOptions {
  std::string key;
  std::optional<std::string> claims, sub, email;
  long long ttl = 3600;
};

int mint(const MintOptions& options, std::ostream& out) {
  if (options.ttl < -kMaxTtl || options.ttl > kMaxTtl) throw ConfigError("--ttl is out of range");
  const Json key = read_json_file(options.key, "private key");
  const long long now =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  Json claims = {{"iat", now}, {"exp", now + options.ttl}};
  if (options.claims) {
    Json given;
    try {
      given = parse_json(*options.claims, 64);
    } catch (const Exception& error) {
      throw ConfigError(std::string("--claims is not valid JSON (") + error.what() + ")");
    }
    if (!given.is_object()) throw ConfigError("--claims must be a JSON object");
    for (auto& [name, value] : given.items()) claims[name] = value;
  }
  if (options.sub) claims["sub"] = *options.sub;
  if (options.email) claims["email"] = *options.email;
  out << "Bearer " << base64_encode(mint_compact(key, claims)) << "\n";
  return kOkExit;
}

struct IdpOptions {
  std::string key, users;
  DemoIdpOptions idp;
};

// Serves until SIGINT or SIGTERM.
int serve_demo_idp(IdpOptions options, std::ostream& out) {
  options.idp.private_jwk = read_json_file(options.key, "private key");
  options.idp.users = read_json_file(options.users, "users file");
  sigset_t signals;
  sigemptyset(&signals);
  for (int sig : {SIGTERM, SIGINT}) sigaddset(&signals, sig);
  // Blocked before the server's threads start, so they inherit the mask.
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  DemoIdp idp(std::move(options.idp));
  idp.start();
  out << "listening on " << idp.issuer() << "\n"
      << "discovery document: " << idp.issuer() << "/.well-known/openid-configuration" << std::endl;
  int sig = 0;
  while (sigwait(&signals, &sig) != 0) {
  }
  idp.stop();
  return kOkExit;
}

std::string pretty(const Json& document) {
  return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace

int run_cli(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{
      "corvane-jwt: check a JWT authentication configuration, authenticate a request, make keys and tokens, "
      "serve a demo identity provider"};
  app.require_subcommand(1);

  std::string ini;
  bool json = false;
  auto* check = app.add_subcommand("check", "Construct the policy and show every identity provider and its keys");
  check->add_option("--ini", ini, "The host's ini file ([app:main])")->required();
  check->add_flag("--json", json, "Print one JSON document");
  bool strict = false;
  check->add_flag("--strict", strict, "Count configuration warnings as failures (exit 1)");

  AuthOptions auth_options;
  auto* auth = app.add_subcommand("auth", "Authenticate one request built from the options");
  auth->add_option("--ini", auth_options.ini_path, "The host's ini file ([app:main])")->required();
  auth->add_option("--authorization", auth_options.authorization, "The Authorization header value")->required();
  auth->add_option("--idp-id", auth_options.idp_id, "The query parameter idp_id");
  auth->add_option("--idp-header", auth_options.idp_header, "The header X-Identity-Provider-Id");
  auth->add_option("--format", auth_options.format, "The requested data format (html, json, ...)");
  auth->add_flag("--json", json, "Print one JSON document");

  KeygenOptions keygen_options;
  auto* gen = app.add_subcommand("keygen", "Make a signing key: its public part joins a JWKS file");
  gen->add_option("--alg", keygen_options.alg, "RS256, PS256, ES256, ES384, ES512, EdDSA or HS256")->required();
  gen->add_option("--kid", keygen_options.kid, "The key id")->required();
  gen->add_option("--jwks", keygen_options.jwks, "The public key set file, created or appended to")->required();
  gen->add_option("--key", keygen_options.key, "The private JWK file to write (mode 0600)")->required();
  gen->add_flag("--force", keygen_options.force, "Replace an existing private key file");

  MintOptions mint_options;
  auto* mnt = app.add_subcommand("mint", "Sign a token and print the Authorization header value");
  mnt->add_option("--key", mint_options.key, "The private JWK file (from keygen)")->required();
  mnt->add_option("--claims", mint_options.claims, "Claims as a JSON object");
  mnt->add_option("--sub", mint_options.sub, "The claim sub");
  mnt->add_option("--email", mint_options.email, "The claim email");
  mnt->add_option("--ttl", mint_options.ttl, "Seconds until exp (default 3600; negative for an expired token)");

  IdpOptions idp_options;
  auto* idp = app.add_subcommand(
      "idp", "Serve a demo OpenID Connect provider on a loopback port: a person picks a demo user, no password");
  idp->add_option("--key", idp_options.key, "The private JWK file that signs the ID tokens (from keygen)")->required();
  idp->add_option("--users", idp_options.users, "A JSON file of user id (the sub) to claims, e.g. email and name")
      ->required();
  idp->add_option("--client-id", idp_options.idp.client_id, "The client id of the one application served")->required();
  idp->add_option("--client-secret", idp_options.idp.client_secret, "Require this client secret at the token endpoint");
  idp->add_option("--redirect-uri", idp_options.idp.redirect_uris, "An address codes may be sent to (repeatable)")
      ->required();
  idp->add_option("--host", idp_options.idp.host, "A loopback address (default 127.0.0.1)");
  idp->add_option("--port", idp_options.idp.port, "The port (default 8081; 0 picks a free one)")
      ->default_val(8081)
      ->check(CLI::Range(0, 65535));

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error, out, err);
    return code == 0 ? kOkExit : kUsageExit;
  }

  try {
    if (*check) {
      const Json report = check_report(ini);
      out << (json ? pretty(report) : render_check(report));
      return all_ready(report) && !(strict && !report["warnings"].empty()) ? kOkExit : kFailExit;
    }
    if (*auth) {
      const AuthResult result = auth_report(auth_options);
      out << (json ? pretty(result.report) : render_auth(result));
      return result.report["user_id"].is_null() ? kFailExit : kOkExit;
    }
    if (*gen) return keygen(keygen_options, out);
    if (*idp) return serve_demo_idp(std::move(idp_options), out);
    return mint(mint_options, out);
  } catch (const std::exception& error) {
    err << "corvane-jwt: error: " << describe_error(error) << "\n";
    return kUsageExit;
  }
}

}  // namespace corvane::apps
