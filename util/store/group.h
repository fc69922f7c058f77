// Cluster-group file: internal helpers (the exports are in sorvan.h).
#pragma once

#include <string>

#include "util/sorvan.h"

namespace sorvan {

constexpr int kGroupLineMax = 1040;     // reader: a line of up to 1039 characters with its newline
constexpr int kGroupReaderMembers = 1024;
constexpr int kEditLineMax = 8192;      // editors: lines up to 8191 characters with the newline
constexpr int kEditMembers = 4096;      // members written by fmtgrentry and editgroups
constexpr int kSelectionMax = 4096;     // editgroups: group names examined in the list
constexpr int kNameCompare = 64;        // editgroups: characters compared in a name

// The canonical line of gr (pos 0), or `prefix` followed by its member list.
void format_group_line(std::string &out, const grentry *gr);
void format_member_list(std::string &out, const grentry *gr);

// Whether gr can be written as one group line that reads back the same:
// no ':' or newline in a text, no ',', ':', space or newline in a member.
bool group_record_writable(const grentry *gr);

}  // namespace sorvan
