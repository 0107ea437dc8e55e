// The comparison form of a text: Unicode white space trimmed from both ends,
// then the full Unicode lower-case mapping. Claim values and user attributes
// are compared in this form.
#pragma once

#include <string>
#include <string_view>

namespace corvane {

// The comparison form of UTF-8 text. Pure ASCII takes a fast path that gives
// the same result as the full mapping.
std::string comparison_form(std::string_view text);
// The same, written into `buffer` (which keeps its capacity from call to
// call, so a reused buffer spares the allocation); returns a view of it.
std::string_view comparison_form(std::string_view text, std::string& buffer);

// Whether the comparison form of `text` equals `form` (itself already a
// comparison form). On ASCII text this compares while normalising, without
// allocating, and stops at the first difference.
bool comparison_form_equals(std::string_view text, std::string_view form);

}  // namespace corvane
