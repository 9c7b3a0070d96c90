#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace gw::fuzz {

inline std::string_view AsText(const uint8_t* data, std::size_t size) {
  return size == 0 ? std::string_view{} : std::string_view(reinterpret_cast<const char*>(data), size);
}

// Splits an input into fields ended by "\n", the last one taking whatever is left, so that
// corpus files of several arguments stay plain text that a person can write and read.
class TFields {
public:
  TFields(const uint8_t* data, std::size_t size) : rest_(AsText(data, size)) {}

  std::string_view Next() {
    const std::size_t end = rest_.find('\n');
    const std::string_view field = rest_.substr(0, end);
    rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
    return field;
  }
  std::string_view Rest() const { return rest_; }

private:
  std::string_view rest_;
};

} // namespace gw::fuzz
