// A tag field described in a file (qdsim --field FILE), so that a scene of a
// real reader can be reproduced.  One tag per line:
//
//   IDENTITY[/BITS] [KEY=VALUE]...
//
// IDENTITY is hex as qdsim --tag takes it.  Keys: password (hex, 32 bits);
// reserved, identity, tid, user (an area's contents from word 0, hex, four
// digits a word); word1 ... word5, count1 ... count3, value (the fields of
// the tag's database record, decimal or 0x hex).  '#' starts a comment;
// blank lines are skipped.
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "virtual_reader.h"

namespace qdsim {

// Appends the tags of the text to `out`; false with `error` naming the line
// and what is wrong in it.
bool parse_field(std::istream& in, std::vector<Tag>& out, std::string& error);

// The same for a file; false when it cannot be read.
bool load_field_file(const std::string& path, std::vector<Tag>& out, std::string& error);

}  // namespace qdsim
