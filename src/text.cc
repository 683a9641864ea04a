#include "quorlane/text.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace quorlane {

namespace {

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace

std::string trim(const std::string& s) {
  const auto b = std::find_if_not(s.begin(), s.end(), isSpace);
  const auto e = std::find_if_not(s.rbegin(), s.rend(), isSpace).base();
  if (b >= e) return {};
  return std::string(b, e);
}

std::string stripAllSpaces(const std::string& s) {
  std::string result;
  result.reserve(s.size());
  for (char c : s) {
    if (!isSpace(c)) result += c;
  }
  return result;
}

std::string firstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

std::vector<std::string> splitLines(const std::string& s) {
  std::vector<std::string> lines;
  std::istringstream stream(s);
  std::string line;
  while (std::getline(stream, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> tokenizeWhitespace(const std::string& s) {
  std::vector<std::string> words;
  std::istringstream stream(s);
  std::string word;
  while (stream >> word) words.push_back(word);
  return words;
}

std::string restAfterWords(const std::string& line, int words) {
  std::size_t pos = 0;
  for (int i = 0; i < words; ++i) {
    while (pos < line.size() && isSpace(line[pos])) ++pos;
    while (pos < line.size() && !isSpace(line[pos])) ++pos;
  }
  return trim(line.substr(pos));
}

void replaceAll(std::string& haystack, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  std::size_t pos = 0;
  while ((pos = haystack.find(from, pos)) != std::string::npos) {
    haystack.replace(pos, from.size(), to);
    pos += to.size();
  }
}

std::string xmlEscape(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '\'': escaped += "&apos;"; break;
      case '"': escaped += "&quot;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

std::string humanSize(std::uintmax_t bytes) {
  static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  std::ostringstream text;
  text.setf(std::ios::fixed);
  text.precision(unit == 0 ? 0 : 1);
  text << value << " " << kUnits[unit];
  return text.str();
}

}  // namespace quorlane
