#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gw {

// The text of an ini file, read and edited with the rules of the Windows profile functions,
// so a settings file written by hand or by the original program reads the same:
// - "[name]" opens a section; the name ends at the first "]" (or the line's end) and is
//   trimmed. Lines before the first section belong to none and are never looked up.
// - "key=value" is an entry: the key is the text before the first "=", the value the text
//   after it, both with blanks (space, tab) trimmed from both ends. A line that starts with
//   ";" is a comment, and a line with no "=" or an empty key is no entry; both are kept.
// - One pair of double quotes enclosing a value is dropped, so `"  a "` reads as "  a ".
// - Names match without regard to ASCII case; the first matching section and, within it,
//   the first matching key win.
// - Lines end in "\n" or "\r\n"; the last line may lack its end.
// Edits touch only the lines they concern; every other byte is kept as it was.
class TIniText {
public:
  // Values longer than this are cut to it, as by the profile functions' 2048-byte buffer.
  static constexpr size_t kMaxValueLength = 2047;

  explicit TIniText(std::string content);

  const std::string& Content() const { return content_; }

  std::optional<std::string> Value(std::string_view section, std::string_view key) const;
  // The key names of the section in file order, duplicates included.
  std::vector<std::string> Keys(std::string_view section) const;
  // Each key of the section in file order with Value(section, key), read in one pass: a
  // section of many thousand entries reads in a moment.
  std::vector<std::pair<std::string, std::string>> Entries(std::string_view section) const;

  // Sets the first matching entry's line to key=value in place; an absent key is added after
  // the section's last non-blank line, an absent section at the end of the text. A value
  // that would not read back unchanged (blanks at either end, or enclosing quotes) is
  // written inside a pair of quotes. Names and values that the format cannot hold (line
  // breaks, an empty name, "=" or a leading "[" or ";" in a key, "]" in a section, blanks at
  // either end of a name) raise std::invalid_argument, since they would not read back or
  // would break the lines around them.
  void Set(std::string_view section, std::string_view key, std::string_view value);
  // Removes every section of that name with all its lines. Lookups only ever see the first,
  // but a later duplicate would otherwise surface once the first is gone.
  void EraseSection(std::string_view section);

  // One line that is neither blank nor a comment, as the reader sees it: what a settings
  // check goes through to tell what nothing would read.
  struct TOutlineLine {
    std::size_t Number = 0;  // counted from 1
    std::string Section;     // the section it is in; empty before the first one
    bool Header = false;     // a section header (Section is its name)
    bool Entry = false;      // key=value (Key is the key)
    std::string Key;
    std::string Text;        // the line, trimmed
  };
  std::vector<TOutlineLine> Outline() const;

private:
  struct TSpan {
    size_t Pos = 0;
    size_t Len = 0;
  };
  enum class TLineKind { Other, Blank, Section, Entry };
  struct TLine {
    size_t Begin = 0; // the line's text, without its line end, is [Begin, End)
    size_t End = 0;
    size_t Next = 0;  // where the next line begins
    TLineKind Kind = TLineKind::Other;
    TSpan Name;       // section name or key
    TSpan Value;      // an entry's trimmed value, quotes still on
  };
  // The lines of one section: its header and the lines up to the next header.
  struct TSectionRange {
    size_t Header = 0;
    size_t End = 0;
  };

  void Parse();
  std::string_view Text(TSpan span) const { return std::string_view(content_).substr(span.Pos, span.Len); }
  std::optional<TSectionRange> FindSection(std::string_view section, size_t fromLine = 0) const;
  std::optional<size_t> FindEntry(const TSectionRange& range, std::string_view key) const;
  std::string ValueOf(const TLine& entry) const;

  std::string content_;
  std::vector<TLine> lines_;
};

} // namespace gw
