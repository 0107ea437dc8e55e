// Reading a whole local file as text.
#pragma once

#include <string>
#include <string_view>

namespace corvane {

// The largest file read; a larger one is an OSError, so a wrong path (a
// device, a huge log) cannot exhaust memory.
inline constexpr std::size_t kMaxTextFileSize = 16 * 1024 * 1024;
// The largest users file: a million users take some 100 MB.
inline constexpr std::size_t kMaxUsersFileSize = 1024 * 1024 * 1024;

// Reads the file at `path` (relative to the working directory when not
// absolute). Failures are OSError kinds named after their cause
// (FileNotFoundError, PermissionError, IsADirectoryError, OSError); text that
// is not valid UTF-8 is UnicodeDecodeError.
std::string read_text_file(std::string_view path, std::size_t max_size = kMaxTextFileSize);

}  // namespace corvane
