#include "corvane/util/file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "corvane/util/errors.hpp"
#include "support/http_server.hpp"

namespace corvane {
namespace {

TEST(ReadTextFile, ReadsAndReportsCauses) {
  testing::TempDir dir;
  std::string good = dir.write("good.json", "{\"a\": \"\xc3\xa4\"}");
  EXPECT_EQ(read_text_file(good), "{\"a\": \"\xc3\xa4\"}");

  EXPECT_THROW(read_text_file(dir.path() + "/missing.json"), FileNotFoundError);
  EXPECT_THROW(read_text_file(dir.path()), IsADirectoryError);
  EXPECT_THROW(read_text_file(""), FileNotFoundError);
  EXPECT_THROW(read_text_file(dir.write("latin1.json", "{\"a\": \"\xe4\"}")), UnicodeDecodeError);
  EXPECT_THROW(read_text_file("/dev/null/x"), OSError);
  EXPECT_THROW(read_text_file("/dev/zero"), OSError);  // not a regular file: never read endlessly

  if (::geteuid() != 0) {  // root reads anything
    std::string locked = dir.write("locked.json", "{}");
    ::chmod(locked.c_str(), 0);
    EXPECT_THROW(read_text_file(locked), PermissionError);
  }
}

TEST(ReadTextFile, MessageNamesThePath) {
  try {
    read_text_file("/nonexistent/jwks.json");
    FAIL();
  } catch (const FileNotFoundError& error) {
    EXPECT_STREQ(error.kind(), "FileNotFoundError");
    EXPECT_NE(std::string(error.what()).find("/nonexistent/jwks.json"), std::string::npos);
  }
}

}  // namespace
}  // namespace corvane
