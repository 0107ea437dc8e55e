#include "corvane/util/unicode.hpp"

#include <gtest/gtest.h>

namespace corvane {
namespace {

TEST(ComparisonForm, TrimsUnicodeSpaceAndLowerCases) {
  struct Case {
    const char* text;
    const char* form;
  } cases[] = {
      {"  Alice@Example.ORG \t\n", "alice@example.org"},
      {"", ""},
      {" \t\r\n\v\f", ""},
      {"\xc2\xa0" "Bob\xe3\x80\x80", "bob"},           // no-break space, ideographic space
      {"\xe2\x80\x83Zo\xc3\xab\xe2\x80\xa8", "zo\xc3\xab"},  // em space, line separator
      {"\xc3\x84RGER", "\xc3\xa4rger"},                // full mapping beyond ASCII
      {"\xc4\xb0stanbul", "i\xcc\x87stanbul"},         // U+0130 grows to two code points
      {"\xe2\x84\xaa", "k"},                           // Kelvin sign lowers to ASCII
      {"\xce\x9f\xce\x94\xce\x9f\xce\xa3", "\xce\xbf\xce\xb4\xce\xbf\xcf\x82"},  // final sigma
      {"a\x1c", "a\x1c"},                              // not White_Space
      {"in ner", "in ner"},
  };
  std::string reused(64, 'x');  // one buffer for every case, as a thread keeps it
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(comparison_form(c.text), c.form);
    EXPECT_EQ(comparison_form(c.text, reused), c.form);
    EXPECT_TRUE(comparison_form_equals(c.text, c.form));
  }
}

TEST(ComparisonForm, EqualsAgreesWithTheFullForm) {
  const char* texts[] = {
      "alice", " Alice ", "alice ", "alicE\xc2\xa0", "alic", "alicee", "ali ce", " ",
      "", "\xc2\xa0", "\xe2\x84\xaa", "K", "k ", "\xc3\x84", "\xc3\xa4", "a\xc2\xa0 ", "a \xc2\xa0x",
  };
  for (const char* text : texts) {
    for (const char* other : texts) {
      std::string form = comparison_form(other);
      SCOPED_TRACE(std::string(text) + " ~ " + other);
      EXPECT_EQ(comparison_form_equals(text, form), comparison_form(text) == form);
    }
  }
}

}  // namespace
}  // namespace corvane
