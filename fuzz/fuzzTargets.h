#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

// Every input surface that reads outside bytes, as a function of raw bytes. The libFuzzer
// programs drive them with generated inputs; the test suite replays the saved corpus
// through the same functions, so a reproducer stays a regression test.
namespace gw::fuzz {

// An invariant that failed. Kept apart from the errors the product raises on purpose, so a
// target that catches those never swallows it.
class TInvariantBroken : public std::logic_error {
public:
  using std::logic_error::logic_error;
};

inline void Require(bool holds, const char* invariant) {
  if (!holds) throw TInvariantBroken(invariant);
}

using TFuzzTarget = void(const uint8_t* data, std::size_t size);

// Status-reply rewriting and the \key\value accessors of the query port.
void QueryReply(const uint8_t* data, std::size_t size);
// The one integer conversion.
void IntConv(const uint8_t* data, std::size_t size);
// The settings file's text form of a tunnel, read and written back.
void TunnelLine(const uint8_t* data, std::size_t size);
// The ini text: reading arbitrary bytes, setting an entry, erasing a section.
void IniText(const uint8_t* data, std::size_t size);
// A remote-control message and its "create" argument.
void RemoteControl(const uint8_t* data, std::size_t size);

} // namespace gw::fuzz
