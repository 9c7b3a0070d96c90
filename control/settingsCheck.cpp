#include "settingsCheck.h"

#include "iniText.h"
#include "textUtil.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <string>

namespace gw {

namespace {

struct TKnownSection {
  std::string_view Name;
  // Lower case; a trailing "*" takes any key that begins with what is before it.
  std::vector<std::string_view> Keys;
};

const std::array<TKnownSection, 5>& KnownSections() {
  static const std::array<TKnownSection, 5> known{{
      {"General", {"addport", "fastpath"}},
      {"RemoteAdmin", {"temporary", "static", "password", "port", "fromport", "toport"}},
      {"Metrics", {"port", "address"}},
      {"Masters", {"server*", "interval", "gamename"}},
      {"Tunnels", {"*"}},
  }};
  return known;
}

bool KeyKnown(const TKnownSection& section, std::string_view key) {
  const std::string lower = LowerAZ(key);
  return std::ranges::any_of(section.Keys, [&](std::string_view known) {
    return known.ends_with('*') ? std::string_view(lower).starts_with(known.substr(0, known.size() - 1)) : lower == known;
  });
}

// Where a value holds what other ini dialects take for a comment: a blank, then ";" or
// "#". Profile files know comments only on lines of their own, so the rest is the value.
std::string_view::size_type CommentLikeAt(std::string_view value) {
  for (std::string_view::size_type i = 1; i < value.size(); ++i)
    if ((value[i] == ';' || value[i] == '#') && (value[i - 1] == ' ' || value[i - 1] == '\t')) return i - 1;
  return std::string_view::npos;
}

std::string SectionNames() {
  std::string names;
  for (const TKnownSection& section : KnownSections()) names += (names.empty() ? "[" : ", [") + std::string(section.Name) + "]";
  return names;
}

} // namespace

const char* UnservableHost(std::string_view host) {
  in_addr address{};
  return inet_aton(std::string(host).c_str(), &address) == 0 ? nullptr : UnservableAddress(address.s_addr);
}

const char* UnservableAddress(uint32_t address) {
  const uint32_t number = ntohl(address);
  if (number == INADDR_ANY) return "the unspecified address";
  if (number == INADDR_BROADCAST) return "the broadcast address";
  if (IN_MULTICAST(number)) return "a multicast address";
  return nullptr;
}

std::vector<std::string> UnreadParts(const TIniText& text, const std::filesystem::path& path) {
  std::vector<std::string> warnings;
  const auto warn = [&](std::size_t line, const std::string& what) {
    warnings.push_back(path.string() + ", line " + std::to_string(line) + ": " + what);
  };
  std::set<std::string> sectionsSeen;
  // Keys seen in the section being read, lower case, unless the section is not read at all.
  std::map<std::string, std::size_t> keysSeen;
  const TKnownSection* section = nullptr;
  bool inSection = false;
  bool sectionRead = false;
  for (const TIniText::TOutlineLine& line : text.Outline()) {
    const std::string shown = EchoField(line.Text);
    if (line.Header) {
      inSection = true;
      keysSeen.clear();
      const auto known = std::ranges::find_if(KnownSections(), [&](const TKnownSection& s) {
        return LowerAZ(s.Name) == LowerAZ(line.Section);
      });
      section = known == KnownSections().end() ? nullptr : &*known;
      sectionRead = section != nullptr && sectionsSeen.insert(LowerAZ(line.Section)).second;
      if (!section)
        warn(line.Number, shown + " is no section the program reads (" + SectionNames() + "): nothing in it is read");
      else if (!sectionRead)
        warn(line.Number, shown + " comes again: only the first [" + std::string(section->Name) + "] is read");
      continue;
    }
    if (!line.Entry) {
      warn(line.Number, "'" + shown + "' is no entry (key=value), section or comment (;): it is not read");
      continue;
    }
    if (!inSection) {
      warn(line.Number, shown + " comes before any section: it is not read");
      continue;
    }
    if (!sectionRead) continue;
    if (!KeyKnown(*section, line.Key)) {
      warn(line.Number, shown + " is no key of [" + std::string(section->Name) + "]: it is not read");
      continue;
    }
    const std::string_view value = std::string_view(line.Text).substr(line.Text.find('=') + 1);
    if (const auto at = CommentLikeAt(value); at != std::string_view::npos)
      warn(line.Number, shown + ": the value of " + line.Key + " is all of '" + EchoField(TrimControl(value)) +
                            "': a comment begins only at the start of a line, never after a value ('" +
                            EchoField(TrimControl(value.substr(at))) + "' is not one)");
    // Every tunnel entry is read, whatever its name (one of the same name reads the first's value).
    if (section->Keys.front() == "*") continue;
    const auto [first, added] = keysSeen.try_emplace(LowerAZ(line.Key), line.Number);
    if (!added)
      warn(line.Number, shown + " sets " + line.Key + " again: only line " + std::to_string(first->second) +
                            " is read");
  }
  return warnings;
}

} // namespace gw
