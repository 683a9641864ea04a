#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorlane {

// Text helpers for what outside programs print, shared by both programs.

std::string trim(const std::string& s);
std::string stripAllSpaces(const std::string& s);
// The first line, without trailing blanks and carriage return.
std::string firstLine(const std::string& text);
// Lines without their line feed (and a carriage return before it).
std::vector<std::string> splitLines(const std::string& s);
std::vector<std::string> tokenizeWhitespace(const std::string& s);
// The part of `line` after its first `words` whitespace-separated words, trimmed.
std::string restAfterWords(const std::string& line, int words);
// libvirt writes these characters escaped inside attribute values and text.
std::string xmlEscape(const std::string& text);
// Bytes for a person: "512 B", "1.5 GiB".
std::string humanSize(std::uintmax_t bytes);
void replaceAll(std::string& haystack, const std::string& from, const std::string& to);

}  // namespace quorlane
