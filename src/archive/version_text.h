// The text forms of packed version numbers and the labels built from them. A version packs
// major (bits 31..24), minor (23..16), stage letter (15..8: 'a' alpha, 'b' beta, 'c' release
// candidate, 'f' final) and build (7..0); versions order as plain unsigned integers, and 0 as
// a bound means "no bound".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct PackageInfo;
struct PackageRef;

// Formats a version into one static 80-byte buffer and returns it; the next call overwrites
// it, so copy the text before calling again.
const char* version_text(uint32_t version);

// "name-version", as every message that names a package shows it.
std::string package_label(const PackageInfo& package);
// A relation's label: its name alone when the lower bound is 0, else "name-version".
std::string requirement_label(const PackageRef& ref);

// Parses the text form back into a packed version ("3.0", "3.0.1", "3.0rc1", "2.4beta",
// "3.0alpha2"), or a raw "0x..." value for versions the text form cannot express. Returns
// false for anything else, including numbers out of range.
bool parse_version(std::string_view text, uint32_t* version);
