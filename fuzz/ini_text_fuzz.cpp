// Input: a section name, a key and a value (one line each), then the ini text's bytes.
#include "fuzzInput.h"
#include "fuzzTargets.h"
#include "iniText.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace gw::fuzz {

namespace {

// Bounds on what one input looks up, so a text of thousands of tiny sections stays quick.
constexpr std::size_t kMaxSectionsLookedAt = 32;
constexpr std::size_t kMaxKeysLookedAt = 64;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  return std::ranges::equal(a, b, [&lower](char x, char y) { return lower(x) == lower(y); });
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }
bool HasBlankEnds(std::string_view s) { return !s.empty() && (IsBlank(s.front()) || IsBlank(s.back())); }

// The names and values that TIniText::Set promises to store rather than refuse.
bool Storable(std::string_view section, std::string_view key, std::string_view value) {
  const bool sectionOk = !section.empty() && !HasLineBreak(section) && !HasBlankEnds(section) &&
                         section.find(']') == std::string_view::npos;
  const bool keyOk = !key.empty() && !HasLineBreak(key) && !HasBlankEnds(key) &&
                     key.find('=') == std::string_view::npos && key.front() != '[' && key.front() != ';';
  return sectionOk && keyOk && !HasLineBreak(value);
}

// The names of the section headers, roughly as the reader takes them; they only choose what
// to look up, so a name that is a little off merely looks up nothing.
std::vector<std::string> HeaderNames(std::string_view content) {
  std::vector<std::string> names;
  std::size_t begin = 0;
  while (begin < content.size() && names.size() < kMaxSectionsLookedAt) {
    const std::size_t end = std::min(content.find('\n', begin), content.size());
    std::string_view line = content.substr(begin, end - begin);
    if (line.ends_with('\r')) line.remove_suffix(1);
    line = TrimBlanks(line);
    if (line.starts_with('[')) names.emplace_back(TrimBlanks(line.substr(1, line.find(']') - 1)));
    begin = end + 1;
  }
  return names;
}

// What lookups show of one section: its keys in order and their values.
struct TSectionView {
  std::vector<std::string> Keys;
  std::vector<std::optional<std::string>> Values;
  bool operator==(const TSectionView&) const = default;
};

TSectionView View(const TIniText& ini, std::string_view section, std::string_view exceptKey = {}) {
  TSectionView view;
  for (const std::string& key : ini.Keys(section)) {
    if (!exceptKey.empty() && SameName(key, exceptKey)) continue;
    if (view.Keys.size() == kMaxKeysLookedAt) break;
    view.Keys.push_back(key);
    view.Values.push_back(ini.Value(section, key));
  }
  return view;
}

// Every other section as lookups show it.
std::vector<TSectionView> OtherSections(const TIniText& ini, const std::vector<std::string>& names,
                                        std::string_view section) {
  std::vector<TSectionView> views;
  for (const std::string& name : names)
    if (!SameName(name, section)) views.push_back(View(ini, name));
  return views;
}

// Set edits one line or inserts lines: the bytes it removed lie within a single line.
bool TouchedOneLine(std::string_view before, std::string_view after) {
  const std::size_t shorter = std::min(before.size(), after.size());
  std::size_t prefix = 0;
  while (prefix < shorter && before[prefix] == after[prefix]) ++prefix;
  std::size_t suffix = 0;
  while (suffix < shorter - prefix && before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix]) ++suffix;
  return before.substr(prefix, before.size() - prefix - suffix).find('\n') == std::string_view::npos;
}

void CheckSet(const std::string& content, const std::vector<std::string>& names, std::string_view section,
              std::string_view key, std::string_view value) {
  TIniText ini(content);
  const std::vector<TSectionView> othersBefore = OtherSections(ini, names, section);
  const TSectionView siblingsBefore = View(ini, section, key);
  try {
    ini.Set(section, key, value);
  } catch (const std::invalid_argument&) {
    Require(!Storable(section, key, value), "Set refused a storable entry");
    Require(ini.Content() == content, "a refused Set changed the text");
    return;
  }
  Require(Storable(section, key, value), "Set stored an entry it should refuse");
  Require(ini.Value(section, key) == std::string(value.substr(0, TIniText::kMaxValueLength)),
          "the value set does not read back");
  const std::vector<std::string> keys = ini.Keys(section);
  Require(std::ranges::any_of(keys, [key](const std::string& k) { return SameName(k, key); }),
          "the key set is not among the section's keys");
  Require(View(ini, section, key) == siblingsBefore, "Set changed another entry of the section");
  Require(OtherSections(ini, names, section) == othersBefore, "Set changed another section");
  Require(TouchedOneLine(content, ini.Content()), "Set rewrote more than one line");
  Require(TIniText(ini.Content()).Value(section, key) == ini.Value(section, key),
          "the text read afresh gives another value");
}

void CheckErase(const std::string& content, const std::vector<std::string>& names, std::string_view section,
                std::string_view key) {
  TIniText ini(content);
  const std::vector<TSectionView> othersBefore = OtherSections(ini, names, section);
  ini.EraseSection(section);
  Require(!ini.Value(section, key).has_value(), "a value of an erased section still reads");
  Require(ini.Keys(section).empty(), "an erased section still has keys");
  Require(OtherSections(ini, names, section) == othersBefore, "EraseSection changed another section");
}

} // namespace

void IniText(const uint8_t* data, std::size_t size) {
  TFields fields(data, size);
  const std::string_view section = fields.Next();
  const std::string_view key = fields.Next();
  const std::string_view value = fields.Next();
  const std::string content(fields.Rest());

  const std::vector<std::string> names = HeaderNames(content);
  CheckSet(content, names, section, key, value);
  CheckErase(content, names, section, key);
}

} // namespace gw::fuzz
