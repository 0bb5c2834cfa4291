// Reads an add-on list as a stream, once through: expat says whether it is well-formed XML and,
// through its positions of each event, where the add-on's elements and the place for a new entry
// are; everything else the list holds is kept as a digest, so that a rewrite can be checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "list_facts.hpp"

namespace list_reader {

// Reads `in` to its end with one parse, and, when `registered` is given, fills it with the
// add-ons that the list registers, in its order (meaningless unless the status is ok). A list
// declared in an encoding that expat does not know is refused as not_utf8, unless its name
// spells UTF-8. Memory stays flat, but for the one
// token (a tag, a comment) that expat holds whole, the open elements, and the entries asked for.
// What a read is for: an edit keeps the digest of all but the add-on, which the check of its copy
// needs; a read that only tells (--status, --list) leaves `rest` empty and saves that work.
enum class purpose { edit, report };

list_facts read_list(std::istream& in, std::string_view origin,
                     std::vector<listed_entry>* registered = nullptr, purpose why = purpose::edit);

}  // namespace list_reader
