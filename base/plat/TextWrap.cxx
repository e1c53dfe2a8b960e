#include "base/plat/TextWrap.h"

namespace plat {

namespace {

// Appends one line of the source (no newline inside) to out, which already
// holds lineStart characters of the current output line.
void wrapLine(std::string_view line, size_t width, size_t indent, size_t lineStart,
              std::string& out) {
  size_t column = lineStart;
  while (true) {
    if (column + line.size() <= width) {
      out += line;
      return;
    }
    // Break at the last space that keeps the line within the width; a word
    // too long for the room left stays whole.
    size_t room = width > column ? width - column : 0;
    size_t cut = line.rfind(' ', room);
    while (cut != std::string_view::npos && cut > 0 && line[cut - 1] == ' ')
      cut--;
    if (cut == std::string_view::npos || cut == 0) {
      size_t word = line.find_first_not_of(' ');
      cut = word == std::string_view::npos ? word : line.find(' ', word);
      if (cut == std::string_view::npos) {
        out += line;
        return;
      }
    }
    out += line.substr(0, cut);
    size_t next = line.find_first_not_of(' ', cut);
    if (next == std::string_view::npos)
      return;
    line.remove_prefix(next);
    out += '\n';
    out.append(indent, ' ');
    column = indent;
  }
}

} // namespace

std::string wrapText(std::string_view text, size_t width, size_t indent) {
  std::string out;
  bool first = true;
  while (true) {
    size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    if (!first)
      out.append(indent, ' ');
    wrapLine(line, width, indent, first ? 0 : indent, out);
    if (newline == std::string_view::npos)
      return out;
    out += '\n';
    text.remove_prefix(newline + 1);
    first = false;
  }
}

} // namespace plat
