// Users::from_file: the users file is read in pieces and parsed event by
// event, each record written straight into the store, so that no document of
// the whole file is ever built.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <istream>
#include <map>
#include <streambuf>
#include <vector>

#include "corvane/users/user_record.hpp"
#include "corvane/users/users.hpp"
#include "corvane/util/errors.hpp"

namespace corvane {
namespace {

// The bytes of an open file, read in large pieces. A failed read, or more
// bytes than allowed, ends the input early and is noted.
class FileInput : public std::streambuf {
 public:
  FileInput(int fd, std::size_t max_size) : fd_(fd), left_(max_size), buffer_(1 << 20) {}
  ~FileInput() override { ::close(fd_); }
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;

  bool failed() const { return failed_; }

 protected:
  int_type underflow() override {
    if (failed_) return traits_type::eof();
    ssize_t got;
    do {
      got = ::read(fd_, buffer_.data(), buffer_.size());
    } while (got < 0 && errno == EINTR);
    if (got < 0 || static_cast<std::size_t>(got) > left_) {
      failed_ = true;
      return traits_type::eof();
    }
    if (got == 0) return traits_type::eof();
    left_ -= static_cast<std::size_t>(got);
    setg(buffer_.data(), buffer_.data(), buffer_.data() + got);
    return traits_type::to_int_type(buffer_[0]);
  }

 private:
  int fd_;
  std::size_t left_;
  std::vector<char> buffer_;
  bool failed_ = false;
};

// Raised by the reader to end a parse whose error the whole-file path names.
struct Refused {
  std::string message;
};

}  // namespace

// The parser's event handler. Depth 1 is inside the document's mapping (its
// members are user ids), depth 2 inside a record (attribute names), deeper
// inside an attribute's value. What a document or record that is not a
// mapping holds is skipped; the TypeError waits for the end of the file, as
// any JSON error in the rest of it comes first.
class UsersFileReader {
 public:
  UsersFileReader(Users& users, std::size_t max_depth) : users_(users), max_depth_(max_depth) {}

  bool null() { return scalar("null", [&] { user_record::null(out()); }); }
  bool boolean(bool value) { return scalar("bool", [&] { user_record::boolean(out(), value); }); }
  bool number_integer(Json::number_integer_t value) {
    return scalar("int", [&] { user_record::integer(out(), value); });
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    return scalar("int", [&] { user_record::unsigned_integer(out(), value); });
  }
  bool number_float(Json::number_float_t value, const std::string&) {
    return scalar("float", [&] { user_record::floating(out(), value); });
  }
  bool binary(Json::binary_t&) { throw Refused{"binary value"}; }  // never from JSON text
  bool string(std::string& value) {
    if (skipping() || depth_ < 2) return scalar("str", [] {});
    const std::size_t offset = user_record::text(out(), value);
    if (depth_ == 2) Users::note(*column_, row_, offset, true, value.size());
    return true;
  }

  bool start_object(std::size_t) { return open(true); }
  bool start_array(std::size_t) { return open(false); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(std::string& name) {
    if (skipping()) return true;
    if (depth_ == 1) {
      row_ = users_.begin_record(name);
    } else {
      user_record::text(out(), name);
      if (depth_ == 2) column_ = &users_.column(name);
    }
    return true;
  }

  template <class Exception>
  bool parse_error(std::size_t, const std::string&, const Exception& error) {
    throw Refused{error.what()};
  }

  // The TypeError of the document, if it is not a mapping of mappings.
  void check() const {
    if (document_type_) throw TypeError(std::string("users must be a mapping, not ") + document_type_);
    if (!not_mappings_.empty()) {
      const auto& [row, type] = *not_mappings_.begin();
      throw TypeError("user record '" + std::string(users_.user_id(row)) + "' must be a mapping, not " + type);
    }
  }

 private:
  static constexpr std::size_t kNoSkip = ~std::size_t{0};

  ByteArena& out() { return users_.arena_; }
  bool skipping() const { return skip_from_ != kNoSkip; }

  // The record of the current user id is `type`, not a mapping.
  void not_a_mapping(const char* type) {
    not_mappings_[row_] = type;
    users_.end_record(row_);
  }

  template <class Write>
  bool scalar(const char* type, Write write) {
    if (skipping()) return true;
    if (depth_ == 0) {
      document_type_ = type;
    } else if (depth_ == 1) {
      not_a_mapping(type);
    } else {
      const std::size_t offset = out().size();
      write();
      if (depth_ == 2) Users::note(*column_, row_, offset, false, 0);
    }
    return true;
  }

  bool open(bool mapping) {
    if (++depth_ > max_depth_) throw Refused{"nesting too deep"};
    if (skipping()) return true;
    if (depth_ == 1) {
      if (!mapping) document_type_ = "list", skip_from_ = depth_;
    } else if (depth_ == 2) {
      if (mapping) {
        not_mappings_.erase(row_);
        user_record::begin_mapping(out());
      } else {
        not_a_mapping("list");
        skip_from_ = depth_;
      }
    } else {
      const std::size_t offset = out().size();
      mapping ? user_record::begin_mapping(out()) : user_record::begin_list(out());
      if (depth_ == 3) Users::note(*column_, row_, offset, false, 0);
    }
    return true;
  }

  bool close() {
    if (skipping()) {
      if (depth_ == skip_from_) skip_from_ = kNoSkip;
    } else if (depth_ >= 2) {
      user_record::end(out());
      if (depth_ == 2) users_.end_record(row_);
    }
    --depth_;
    return true;
  }

  Users& users_;
  const std::size_t max_depth_;
  std::size_t depth_ = 0;
  std::size_t skip_from_ = kNoSkip;
  std::uint32_t row_ = 0;
  Users::Column* column_ = nullptr;
  const char* document_type_ = nullptr;
  std::map<std::uint32_t, const char*> not_mappings_;  // by row: the first decides
};

Users Users::from_file(const std::string& path, std::size_t max_size, std::size_t max_depth) {
  // Whatever fails, the file is read and parsed whole to name the fault: the
  // same error, in the same order (reading, UTF-8, nesting, syntax), as every
  // other JSON file of the configuration gives. Should that succeed (the file
  // changed meanwhile), the fault as met here is reported.
  auto fail = [&](auto error) -> Users {
    parse_json(read_text_file(path, max_size), max_depth);
    throw error;
  };
  auto unreadable = [&](const char* reason) { return OSError(std::string(reason) + ": '" + path + "'"); };
  if (path.find('\0') != std::string::npos) return fail(ValueError("embedded null byte"));
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return fail(unreadable("cannot open the file"));
  FileInput input(fd, max_size);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || static_cast<std::size_t>(info.st_size) > max_size) {
    return fail(unreadable("not a readable file"));
  }
  std::istream stream(&input);
  Users users;
  UsersFileReader reader(users, max_depth);
  try {
    Json::sax_parse(stream, &reader);
  } catch (const Refused& refused) {
    users = Users();  // the whole-file parse below needs the room
    if (input.failed()) return fail(unreadable("cannot read the file"));
    return fail(JSONDecodeError(refused.message));
  }
  if (input.failed()) return fail(unreadable("cannot read the file"));
  reader.check();
  users.seal();
  users.arena_.shrink_to_fit();
  for (auto& [name, column] : users.columns_) column.cells.shrink_to_fit();
  users.rows_.shrink_to_fit();
  return users;
}

}  // namespace corvane
