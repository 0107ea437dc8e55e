// How costs grow with the input: users, key set size, token size, and the
// start-up work (loading users, parsing documents) at n and 10n. Anything
// that may run away on a slow build runs in a child with a time limit.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "corvane/users/configuration_files.hpp"
#include "corvane/users/users.hpp"
#include "corvane/util/file.hpp"
#include "fixture.hpp"
#include "measure.hpp"

namespace corvane::bench {

inline apps::SimpleRequest api_request(const std::string& header, const std::string& idp = kIdp) {
  apps::SimpleRequest request;
  // An API request: the HTML session login happens once per browser, not per request.
  request.header("Authorization", header).query("idp_id", idp).format("json");
  return request;
}

// Short distinct member names, so that many members fit in a token.
inline std::string member_name(std::size_t i) {
  static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string name = "x";
  do {
    name += digits[i % 36];
    i /= 36;
  } while (i);
  return name;
}

// `{"m0":0,...` without the closing brace: the members of a document that
// holds `count` extra members.
inline std::string extra_members(std::size_t count) {
  std::string text;
  text.reserve(count * 9);
  for (std::size_t i = 0; i < count; ++i) text += ",\"" + member_name(i) + "\":0";
  return text;
}

// A users.json of `count` users, written directly: seconds for a million.
inline std::size_t write_users_file(const std::string& path, std::size_t count) {
  std::string text = "{";
  text.reserve(count * 72);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    if (i) text += ',';
    text.append("\"user-").append(n).append("\":{\"email\":\"user").append(n);
    text.append("@example.org\",\"name\":\"User ").append(n).append("\"}");
  }
  text += "}\n";
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (!file || std::fwrite(text.data(), 1, text.size(), file) != text.size() || std::fclose(file) != 0) {
    throw std::runtime_error("cannot write " + path);
  }
  return text.size();
}

// The child side of a users load: the host's own loading from files.
inline Json load_users(const std::string& auth_settings, const std::string& users_path) {
  const double start = wall_seconds();
  auto configuration = load_file_configuration(
      host::IniSettings{{"corvane.auth_settings", auth_settings}, {"corvane.users", users_path}});
  const auto& store = dynamic_cast<const Users&>(*configuration.users);
  return {{"seconds", wall_seconds() - start}, {"users", store.size()}};
}

// Loads of users.json files of 10 users (the memory baseline), of n and of
// 10n users, each in a fresh process.
inline Json measure_users_load(testing::TempDir& dir, double timeout) {
  const std::string auth = dir.write("auth.json", "{}");
  Json out = Json::array();
  for (std::size_t count : {std::size_t{10}, std::size_t{100000}, std::size_t{1000000}}) {
    const std::string path = dir.path() + "/users-" + std::to_string(count) + ".json";
    const double start = wall_seconds();
    const std::size_t bytes = write_users_file(path, count);
    Json point = run_self({"--load-users", auth, path}, timeout);
    point["users"] = count;
    point["bytes"] = bytes;
    point["write_seconds"] = wall_seconds() - start;
    out.push_back(point);
    std::remove(path.c_str());
  }
  return out;
}

// Parse time of documents with n and 10n members, both sizes alternately in
// one loop (so the ratio compares like with like), each document in its own
// child: a key set document, a discovery document, a token header and a
// token payload (the last two through the provider's check, signed, so that
// a refusal counts as well: what is timed is how soon the answer comes).
inline Json measure_parsing(const AlgorithmSite& hs256, const Budget& budget, double timeout) {
  const auth::jwt::IDPConfig& idp = *hs256.policy(10).idps->find(kIdp);
  const std::string kid = hs256.signing_jwk["kid"].get<std::string>();
  const std::string key_set_start = "{\"keys\":" + parse_json(read_text_file(hs256.jwks_path))["keys"].dump();
  const std::string claims = hs256.claims.dump();
  const std::string header = Json{{"alg", "HS256"}, {"kid", kid}}.dump();
  const std::string discovery_start =
      R"({"issuer":"https://idp.example","jwks_uri":"https://idp.example/keys",)"
      R"("authorization_endpoint":"https://idp.example/authorize","token_endpoint":"https://idp.example/token")";
  const std::size_t sizes[] = {6400, 64000};
  struct Document {
    const char* name;
    std::vector<std::string> texts;  // at n and at 10n members
    std::function<Subject(const std::string&)> parse;
  };
  auto token_check = [&idp](const std::string& token) {
    return subject([&idp, &token] {
      try {
        return idp.secure_load_claims(token);
      } catch (const std::exception&) {
        return Json();
      }
    });
  };
  // Whether the provider takes the token, or the error it refuses it with.
  auto outcome = [&idp](const std::string& token) -> std::string {
    try {
      idp.secure_load_claims(token);
      return "accepted";
    } catch (const std::exception& error) {
      return std::string("refused: ") + error.what();
    }
  };
  std::vector<Document> documents = {
      {"key set", {}, [](const std::string& text) {
         return subject([&text] { return auth::jwt::IDPConfig::make_jwks(parse_json(text)).size(); });
       }},
      {"discovery", {}, [](const std::string& text) { return subject([&text] { return parse_json(text); }); }},
      {"token header", {}, token_check},
      {"token payload", {}, token_check},
  };
  for (std::size_t members : sizes) {
    const std::string extra = extra_members(members) + "}";
    documents[0].texts.push_back(key_set_start + extra);
    documents[1].texts.push_back(discovery_start + extra);
    documents[2].texts.push_back(hs256.keys.back().sign_token(header.substr(0, header.size() - 1) + extra, claims));
    documents[3].texts.push_back(hs256.keys.back().sign_token(header, claims.substr(0, claims.size() - 1) + extra));
  }
  Json out = Json::object();
  for (const auto& document : documents) {
    Json result = in_child([&] {
      return to_json(measure_alternating({document.parse(document.texts[0]), document.parse(document.texts[1])}, budget));
    }, timeout);
    result["members"] = {sizes[0], sizes[1]};
    result["bytes"] = {document.texts[0].size(), document.texts[1].size()};
    if (std::string_view(document.name).rfind("token", 0) == 0) result["outcome"] = outcome(document.texts[1]);
    out[document.name] = result;
  }
  return out;
}

// authenticated_userid with 10 users against n users, alternately in one
// loop, for n from 10 to a million; each point in a child, as building a
// large store may be slow.
inline Json measure_users_curve(const AlgorithmSite& hs256, const Budget& budget, double timeout) {
  Json out = Json::array();
  for (std::size_t count : {10, 100, 1000, 10000, 100000, 1000000}) {
    Json point = in_child([&] {
      const double start = wall_seconds();
      auto big = make_policy(hs256.jwks_path, make_users(count, false));
      const double built = wall_seconds() - start;
      apps::SimpleRequest small_request = api_request(hs256.header);
      apps::SimpleRequest big_request = api_request(hs256.header);
      const auto& small = hs256.policy(10);
      if (big->authenticated_userid(big_request) != hs256.expected_user()) throw std::runtime_error("not authenticated");
      Alternating a = measure_alternating(
          {subject([&] { return small.authenticated_userid(small_request); }),
           subject([&] { return big->authenticated_userid(big_request); })},
          budget);
      return Json{{"build_seconds", built}, {"measure", to_json(a)}};
    }, timeout);
    point["users"] = count;
    out.push_back(point);
  }
  return out;
}

// authenticated_userid (HS256, 10 users) with key sets of 1 to 100 keys,
// the token signed by the last key.
inline Json measure_key_set_curve(const Budget& budget) {
  Json out = Json::array();
  const auto users = make_users(10, false);
  for (std::size_t count : {1, 2, 5, 10, 20, 50, 64, 100}) {
    testing::TempDir dir;
    std::vector<testing::TestKey> keys;
    Json jwks = {{"keys", Json::array()}};
    for (std::size_t i = 0; i < count; ++i) {
      keys.emplace_back("HS256");
      jwks["keys"].push_back(keys.back().public_jwk("key-" + std::to_string(i)));
    }
    Json point = {{"keys", count}};
    std::unique_ptr<auth::jwt::JWTAuthenticationPolicy> policy;
    try {
      policy = make_policy(dir.write("jwks.json", jwks.dump()), users);
    } catch (const std::exception& error) {
      point["refused"] = error.what();
      out.push_back(point);
      continue;
    }
    apps::SimpleRequest request = api_request(
        testing::bearer(keys.back().token(oidc_claims(claim_email(7, false)), "key-" + std::to_string(count - 1))));
    if (!policy->authenticated_userid(request)) {
      point["refused"] = "the token is not authenticated";
    } else {
      point["measure"] = to_json(measure_alternating({subject([&] { return policy->authenticated_userid(request); })}, budget));
    }
    out.push_back(point);
  }
  return out;
}

// authenticated_userid (HS256, 10 users) with tokens of 1 KiB to 1 MiB, the
// size made up by one long claim.
inline Json measure_token_curve(const AlgorithmSite& hs256, const Budget& budget) {
  Json out = Json::array();
  const std::string kid = hs256.signing_jwk["kid"].get<std::string>();
  for (std::size_t size : {1024, 4096, 16384, 65536, 262144, 1048576 - 4096}) {
    Json claims = hs256.claims;
    const std::size_t bare = hs256.keys.back().token(claims, kid).size();
    claims["pad"] = std::string(size > bare + 16 ? (size - bare - 16) * 3 / 4 : 0, 'x');
    const std::string token = hs256.keys.back().token(claims, kid);
    apps::SimpleRequest request = api_request(testing::bearer(token));
    Json point = {{"bytes", token.size()}};
    if (!hs256.policy(10).authenticated_userid(request)) {
      point["refused"] = "the token is not authenticated";
    } else {
      const auto& policy = hs256.policy(10);
      point["measure"] = to_json(measure_alternating({subject([&] { return policy.authenticated_userid(request); })}, budget));
    }
    out.push_back(point);
  }
  return out;
}

}  // namespace corvane::bench
