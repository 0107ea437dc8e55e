#include "cli/cli.hpp"

#include <CLI/CLI.hpp>
#include <pthread.h>

#include <csignal>

#include <chrono>
#include <filesystem>
#include <ostream>

#include "cli/reports.hpp"
#include "common/app_config.hpp"
#include "corvane/util/base64.hpp"
#include "corvane/util/file.hpp"
#include "demo_idp/demo_idp.hpp"
#include "demo_idp/jwk_tools.hpp"

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
  if (!std::filesystem::exists(options.key)) {
    // A clone where `make run` never ran has no demo keys yet.
    throw ConfigError(options.key + ": cannot read the private key (there is no such file); make one with "
                      "`corvane-jwt keygen --alg ES256 --kid KID --key " + options.key +
                      " --jwks JWKS.json` (its public half goes to JWKS.json), or run `make run` once for the "
                      "demo's keys under demo/keys/");
  }
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

namespace {

struct CheckCommand {
  std::string ini;
  bool json = false;
  bool strict = false;
};

struct AuthCommand {
  AuthOptions options;
  bool json = false;
};

CLI::App* add_check(CLI::App& app, CheckCommand& o) {
  auto* check = app.add_subcommand("check", "Construct the policy and show every identity provider and its keys");
  check->add_option("--ini", o.ini, "The host's ini file ([app:main])")->required();
  check->add_flag("--json", o.json, "Print one JSON document");
  check->add_flag("--strict", o.strict, "Count configuration warnings as failures (exit 1)");
  return check;
}

CLI::App* add_auth(CLI::App& app, AuthCommand& o) {
  auto* auth = app.add_subcommand("auth", "Authenticate one request built from the options");
  auth->add_option("--ini", o.options.ini_path, "The host's ini file ([app:main])")->required();
  auth->add_option("--authorization", o.options.authorization, "The Authorization header value")->required();
  auth->add_option("--idp-id", o.options.idp_id, "The query parameter idp_id");
  auth->add_option("--idp-header", o.options.idp_header, "The header X-Identity-Provider-Id");
  auth->add_option("--format", o.options.format, "The requested data format (html, json, ...)");
  auth->add_flag("--json", o.json, "Print one JSON document");
  return auth;
}

CLI::App* add_keygen(CLI::App& app, KeygenOptions& o) {
  auto* gen = app.add_subcommand("keygen", "Make a signing key: its public part joins a JWKS file");
  gen->add_option("--alg", o.alg, "RS256, PS256, ES256, ES384, ES512, EdDSA or HS256")->required();
  gen->add_option("--kid", o.kid, "The key id")->required();
  gen->add_option("--jwks", o.jwks, "The public key set file, created or appended to")->required();
  gen->add_option("--key", o.key, "The private JWK file to write (mode 0600)")->required();
  gen->add_flag("--force", o.force, "Replace an existing private key file");
  return gen;
}

CLI::App* add_mint(CLI::App& app, MintOptions& o) {
  auto* mnt = app.add_subcommand("mint", "Sign a token and print the Authorization header value");
  mnt->add_option("--key", o.key, "The private JWK file (from keygen)")->required();
  mnt->add_option("--claims", o.claims, "Claims as a JSON object");
  mnt->add_option("--sub", o.sub, "The claim sub");
  mnt->add_option("--email", o.email, "The claim email");
  mnt->add_option("--ttl", o.ttl, "Seconds until exp (default 3600; negative for an expired token)");
  return mnt;
}

CLI::App* add_idp(CLI::App& app, IdpOptions& o) {
  auto* idp = app.add_subcommand(
      "idp", "Serve a demo OpenID Connect provider on a loopback port: a person picks a demo user, no password");
  idp->add_option("--key", o.key, "The private JWK file that signs the ID tokens (from keygen)")->required();
  idp->add_option("--users", o.users, "A JSON file of user id (the sub) to claims, e.g. email and name")->required();
  idp->add_option("--client-id", o.idp.client_id, "The client id of the one application served")->required();
  idp->add_option("--client-secret", o.idp.client_secret, "Require this client secret at the token endpoint");
  idp->add_option("--redirect-uri", o.idp.redirect_uris, "An address codes may be sent to (repeatable)")->required();
  idp->add_flag("--claims-in-id-token", o.idp.claims_in_id_token,
                "Put the users' claims (email, name, ...) in the ID token too, not only at UserInfo");
  idp->add_option("--host", o.idp.host, "A loopback address (default 127.0.0.1)");
  idp->add_option("--port", o.idp.port, "The port (default 8081; 0 picks a free one)")
      ->default_val(8081)
      ->check(CLI::Range(0, 65535));
  return idp;
}

int run_check(const CheckCommand& o, std::ostream& out) {
  const Json report = check_report(o.ini);
  out << (o.json ? pretty(report) : render_check(report));
  return all_ready(report) && !(o.strict && !report["warnings"].empty()) ? kOkExit : kFailExit;
}

int run_auth(const AuthCommand& o, std::ostream& out) {
  const AuthResult result = auth_report(o.options);
  out << (o.json ? pretty(result.report) : render_auth(result));
  return result.report["user_id"].is_null() ? kFailExit : kOkExit;
}

}  // namespace

int run_cli(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{
      "corvane-jwt: check a JWT authentication configuration, authenticate a request, make keys and tokens, "
      "serve a demo identity provider"};
  app.require_subcommand(1);
  CheckCommand check_command;
  AuthCommand auth_command;
  KeygenOptions keygen_options;
  MintOptions mint_options;
  IdpOptions idp_options;
  const CLI::App* check = add_check(app, check_command);
  const CLI::App* auth = add_auth(app, auth_command);
  const CLI::App* gen = add_keygen(app, keygen_options);
  add_mint(app, mint_options);
  const CLI::App* idp = add_idp(app, idp_options);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error, out, err);
    return code == 0 ? kOkExit : kUsageExit;
  }

  try {
    if (*check) return run_check(check_command, out);
    if (*auth) return run_auth(auth_command, out);
    if (*gen) return keygen(keygen_options, out);
    if (*idp) return serve_demo_idp(std::move(idp_options), out);
    return mint(mint_options, out);
  } catch (const std::exception& error) {
    err << "corvane-jwt: error: " << describe_error(error) << "\n";
    return kUsageExit;
  }
}

}  // namespace corvane::apps
