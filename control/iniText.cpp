#include "iniText.h"

#include "textUtil.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace gw {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool SameName(std::string_view a, std::string_view b) {
  return std::ranges::equal(a, b, [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

// The trimmed part of [begin, end) of text, as a position and length.
std::pair<size_t, size_t> Trim(std::string_view text, size_t begin, size_t end) {
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return {begin, end - begin};
}

bool HasBlankEnds(std::string_view s) { return !s.empty() && (IsBlank(s.front()) || IsBlank(s.back())); }

bool IsQuoted(std::string_view s) { return s.size() >= 2 && s.front() == '"' && s.back() == '"'; }

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

void CheckWritable(std::string_view section, std::string_view key, std::string_view value) {
  if (section.empty() || HasLineBreak(section) || HasBlankEnds(section) || section.find(']') != std::string_view::npos) {
    throw std::invalid_argument("Unusable ini section name '" + std::string(section) + "'");
  }
  if (key.empty() || HasLineBreak(key) || HasBlankEnds(key) || key.find('=') != std::string_view::npos ||
      key.front() == '[' || key.front() == ';') {
    throw std::invalid_argument("Unusable ini key name '" + std::string(key) + "'");
  }
  if (HasLineBreak(value)) {
    throw std::invalid_argument("A line break cannot be stored in the value of '" + std::string(key) + "'");
  }
}

std::string EntryLine(std::string_view key, std::string_view value) {
  std::string line(key);
  line += '=';
  if (HasBlankEnds(value) || IsQuoted(value)) {
    line += '"';
    line += value;
    line += '"';
  } else {
    line += value;
  }
  return line;
}

} // namespace

TIniText::TIniText(std::string content) : content_(std::move(content)) { Parse(); }

void TIniText::Parse() {
  lines_.clear();
  const std::string_view text(content_);
  size_t begin = 0;
  while (begin < text.size()) {
    TLine line;
    line.Begin = begin;
    const size_t newline = text.find('\n', begin);
    line.Next = newline == std::string_view::npos ? text.size() : newline + 1;
    line.End = newline == std::string_view::npos ? text.size() : newline;
    if (line.End > line.Begin && text[line.End - 1] == '\r') --line.End;

    const auto [pos, len] = Trim(text, line.Begin, line.End);
    const std::string_view trimmed = text.substr(pos, len);
    if (trimmed.empty()) {
      line.Kind = TLineKind::Blank;
    } else if (trimmed.front() == '[') {
      const size_t close = trimmed.find(']');
      const size_t nameEnd = close == std::string_view::npos ? pos + len : pos + close;
      const auto [namePos, nameLen] = Trim(text, pos + 1, nameEnd);
      line.Kind = TLineKind::Section;
      line.Name = {namePos, nameLen};
    } else if (trimmed.front() != ';') {
      const size_t equals = trimmed.find('=');
      if (equals != std::string_view::npos) {
        const auto [keyPos, keyLen] = Trim(text, pos, pos + equals);
        const auto [valuePos, valueLen] = Trim(text, pos + equals + 1, pos + len);
        if (keyLen > 0) {
          line.Kind = TLineKind::Entry;
          line.Name = {keyPos, keyLen};
          line.Value = {valuePos, valueLen};
        }
      }
    }
    lines_.push_back(line);
    begin = line.Next;
  }
}

std::optional<TIniText::TSectionRange> TIniText::FindSection(std::string_view section, size_t fromLine) const {
  for (size_t i = fromLine; i < lines_.size(); ++i) {
    if (lines_[i].Kind != TLineKind::Section || !SameName(Text(lines_[i].Name), section)) continue;
    size_t end = i + 1;
    while (end < lines_.size() && lines_[end].Kind != TLineKind::Section) ++end;
    return TSectionRange{i, end};
  }
  return std::nullopt;
}

std::optional<size_t> TIniText::FindEntry(const TSectionRange& range, std::string_view key) const {
  for (size_t i = range.Header + 1; i < range.End; ++i) {
    if (lines_[i].Kind == TLineKind::Entry && SameName(Text(lines_[i].Name), key)) return i;
  }
  return std::nullopt;
}

std::optional<std::string> TIniText::Value(std::string_view section, std::string_view key) const {
  const auto range = FindSection(section);
  if (!range) return std::nullopt;
  const auto entry = FindEntry(*range, key);
  if (!entry) return std::nullopt;
  return ValueOf(lines_[*entry]);
}

std::string TIniText::ValueOf(const TLine& entry) const {
  std::string_view value = Text(entry.Value);
  if (IsQuoted(value)) value = value.substr(1, value.size() - 2);
  return std::string(value.substr(0, kMaxValueLength));
}

std::vector<std::pair<std::string, std::string>> TIniText::Entries(std::string_view section) const {
  std::vector<std::pair<std::string, std::string>> entries;
  const auto range = FindSection(section);
  if (!range) return entries;
  // The first entry of each name, by its name in lower case.
  std::unordered_map<std::string, const TLine*> first;
  for (size_t i = range->Header + 1; i < range->End; ++i) {
    if (lines_[i].Kind != TLineKind::Entry) continue;
    const std::string_view name = Text(lines_[i].Name);
    const TLine* const line = first.try_emplace(LowerAZ(name), &lines_[i]).first->second;
    entries.emplace_back(name, ValueOf(*line));
  }
  return entries;
}

std::vector<std::string> TIniText::Keys(std::string_view section) const {
  std::vector<std::string> keys;
  const auto range = FindSection(section);
  if (!range) return keys;
  for (size_t i = range->Header + 1; i < range->End; ++i) {
    if (lines_[i].Kind == TLineKind::Entry) keys.emplace_back(Text(lines_[i].Name));
  }
  return keys;
}

std::vector<TIniText::TOutlineLine> TIniText::Outline() const {
  std::vector<TOutlineLine> outline;
  std::string section;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const TLine& line = lines_[i];
    if (line.Kind == TLineKind::Blank) continue;
    const auto [pos, len] = Trim(content_, line.Begin, line.End);
    const std::string_view text = std::string_view(content_).substr(pos, len);
    if (line.Kind == TLineKind::Other && text.front() == ';') continue;
    if (line.Kind == TLineKind::Section) section = Text(line.Name);
    outline.push_back({i + 1, section, line.Kind == TLineKind::Section, line.Kind == TLineKind::Entry,
                       line.Kind == TLineKind::Entry ? std::string(Text(line.Name)) : std::string(), std::string(text)});
  }
  return outline;
}

void TIniText::Set(std::string_view section, std::string_view key, std::string_view value) {
  CheckWritable(section, key, value);
  const std::string entryLine = EntryLine(key, value);

  const auto range = FindSection(section);
  if (!range) {
    if (!content_.empty() && content_.back() != '\n') content_ += '\n';
    content_ += '[';
    content_ += section;
    content_ += "]\n";
    content_ += entryLine;
    content_ += '\n';
  } else if (const auto entry = FindEntry(*range, key)) {
    // Only the line's text is replaced; its line end, "\r\n" or none, stays.
    const TLine& line = lines_[*entry];
    content_.replace(line.Begin, line.End - line.Begin, entryLine);
  } else {
    // After the last non-blank line, so blank lines that separate sections stay between them.
    size_t after = range->End - 1;
    while (after > range->Header && lines_[after].Kind == TLineKind::Blank) --after;
    const TLine& line = lines_[after];
    // A last line may end in a lone "\r", which Parse leaves out of the line's text but which
    // is no line end: the new entry would run on into that line.
    const bool lineHasEnd = line.Next > line.End && content_[line.Next - 1] == '\n';
    content_.insert(line.Next, lineHasEnd ? entryLine + '\n' : '\n' + entryLine + '\n');
  }
  Parse();
}

void TIniText::EraseSection(std::string_view section) {
  auto range = FindSection(section);
  if (!range) return;
  std::string kept;
  size_t copiedUpTo = 0;
  for (; range; range = FindSection(section, range->End)) {
    kept.append(content_, copiedUpTo, lines_[range->Header].Begin - copiedUpTo);
    copiedUpTo = range->End < lines_.size() ? lines_[range->End].Begin : content_.size();
  }
  kept.append(content_, copiedUpTo);
  content_ = std::move(kept);
  Parse();
}

} // namespace gw
