// The configuration of a C++ host kept in files: the authentication settings
// and the users, each a JSON file named in the ini settings.
#pragma once

#include "corvane/host/base_policy.hpp"
#include "corvane/host/ini_settings.hpp"

namespace corvane {

// Reads the ini keys "corvane.auth_settings" (a JSON file of the
// authentication settings), "corvane.users" (a JSON file of the users, kept
// as a Users store) and "corvane.default_extension" (default "html").
// A missing key is KeyError; file and JSON failures are OSError and
// ValueError kinds naming the file.
host::AuthConfiguration load_file_configuration(const host::IniSettings& ini_settings);

}  // namespace corvane
