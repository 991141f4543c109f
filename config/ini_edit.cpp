#include "config/ini_edit.h"

#include <vector>

namespace qorvel {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

struct Line {
  std::string_view body;  // without its line ending
  std::string_view eol;   // "\r\n", "\n", "\r" or empty for an unterminated last line
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.push_back({text.substr(start), {}});
      break;
    }
    size_t eolLength =
        (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1;
    lines.push_back({text.substr(start, end - start), text.substr(end, eolLength)});
    start = end + eolLength;
  }
  return lines;
}

// OpenSection: a "[" with nothing but blanks behind it; the reader takes the
// next line that is not blank for the section name.
enum class Kind { Other, Section, OpenSection, Key };

struct Parsed {
  Kind kind = Kind::Other;
  std::string_view name;
  // A section name the reader never closed runs on into the lines behind it,
  // so it holds a line break and no write can name its section.
  bool unnamed = false;
  size_t valueStart = 0;  // key lines: offset just behind the "="
};

std::string_view TrimFront(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

// `s` starts at the first non-blank of the section name.
Parsed SectionName(std::string_view s) {
  Parsed p;
  p.kind = Kind::Section;
  size_t close = s.find(']');
  if (close == std::string_view::npos) {
    p.unnamed = true;
  } else {
    p.name = Trim(s.substr(0, close));
  }
  return p;
}

Parsed Classify(std::string_view body, bool nameFollows) {
  Parsed p;
  std::string_view s = TrimFront(body);
  if (nameFollows) {
    if (!s.empty()) return SectionName(s);
    p.kind = Kind::OpenSection;
    return p;
  }
  if (s.empty() || s.front() == ';' || s.front() == '#') return p;
  if (s.front() == '[') {
    s = TrimFront(s.substr(1));
    if (!s.empty()) return SectionName(s);
    p.kind = Kind::OpenSection;
    return p;
  }
  size_t eq = s.find('=');
  if (eq == std::string_view::npos || eq == 0) return p;
  p.kind = Kind::Key;
  p.name = Trim(s.substr(0, eq));
  // The blanks behind the "=" belong to the layout the user chose.
  size_t value = eq + 1;
  while (value < s.size() && (s[value] == ' ' || s[value] == '\t')) ++value;
  p.valueStart = static_cast<size_t>(s.data() - body.data()) + value;
  return p;
}

}  // namespace

bool IsStorableIniEntry(std::string_view aSection, std::string_view aKey, std::string_view aValue) {
  auto hasBreak = [](std::string_view s) { return s.find_first_of("\r\n") != s.npos; };
  if (hasBreak(aSection) || hasBreak(aKey) || hasBreak(aValue)) return false;
  std::string_view section = Trim(aSection), key = Trim(aKey);
  if (section.empty() || key.empty()) return false;
  if (section.find(']') != section.npos || key.find('=') != key.npos) return false;
  return key.front() != ';' && key.front() != '#' && key.front() != '[';
}

std::string SetIniValue(std::string_view aContent, std::string_view aSection, std::string_view aKey,
                        std::string_view aValue) {
  aSection = Trim(aSection);
  aKey = Trim(aKey);
  std::string out;
  out.reserve(aContent.size() + aKey.size() + aValue.size() + aSection.size() + 8);
  // The reader skips a UTF-8 byte order mark; a header right behind it counts.
  constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
  if (aContent.starts_with(kUtf8Bom)) {
    out.append(kUtf8Bom);
    aContent.remove_prefix(kUtf8Bom.size());
  }
  std::vector<Line> lines = SplitLines(aContent);
  std::string_view eol = "\n";
  for (const Line& line : lines) {
    if (!line.eol.empty()) {
      eol = line.eol;
      break;
    }
  }

  bool inSection = false;
  bool replaced = false;
  // Where a new key goes when none exists: behind the last key (or header) of
  // the last matching section.
  size_t insertAt = std::string::npos;
  bool insertNeedsEol = false;
  // Where a "[" still waiting for its name starts: a section appended behind
  // it would be taken for that name.
  size_t openSectionAt = std::string::npos;
  for (const Line& line : lines) {
    Parsed p = Classify(line.body, openSectionAt != std::string::npos);
    if (p.kind == Kind::OpenSection) {
      if (openSectionAt == std::string::npos) openSectionAt = out.size();
      inSection = false;
    } else if (p.kind == Kind::Section) {
      openSectionAt = std::string::npos;
      inSection = !p.unnamed && SameName(p.name, aSection);
    }
    if (inSection && p.kind == Kind::Key && SameName(p.name, aKey)) {
      out.append(line.body.substr(0, p.valueStart));
      out.append(aValue);
      replaced = true;
    } else {
      out.append(line.body);
    }
    out.append(line.eol);
    if (inSection && p.kind != Kind::Other) {
      insertAt = out.size();
      insertNeedsEol = line.eol.empty();
    }
  }
  if (replaced) return out;

  std::string entry = std::string(aKey) + "=" + std::string(aValue) + std::string(eol);
  if (insertAt != std::string::npos) {
    if (insertNeedsEol) entry.insert(0, eol);
    out.insert(insertAt, entry);
    return out;
  }
  const std::string section = "[" + std::string(aSection) + "]" + std::string(eol) + entry;
  if (openSectionAt != std::string::npos) {
    out.insert(openSectionAt, section);
    return out;
  }
  if (!out.empty() && out.back() != '\n' && out.back() != '\r') out.append(eol);
  out.append(section);
  return out;
}

}  // namespace qorvel
