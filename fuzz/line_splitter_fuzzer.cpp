#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "helper/line_splitter.hpp"

namespace {

// Every line is non-empty, well-formed UTF-8 without a line end, and trimmed.
void checkLine(const std::string& line) {
  using vantreel::LineSplitter;
  if (line.empty() || line.size() > LineSplitter::kMaxLineBytes) {
    std::abort();
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(line.data());
  const auto length = static_cast<std::int32_t>(line.size());
  std::int32_t at = 0;
  UChar32 first = -1;
  UChar32 last = -1;
  while (at < length) {
    UChar32 c = 0;
    U8_NEXT(bytes, at, length, c);
    if (c < 0 || (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029) {
      std::abort();
    }
    if (first < 0) {
      first = c;
    }
    last = c;
  }
  if (u_isUWhiteSpace(first) || u_isUWhiteSpace(last)) {
    std::abort();
  }
}

}  // namespace

// Input: chunks, each a length byte and that many bytes (the last may be shorter); a length
// byte with the top bit set repeats its chunk 64 times, so that lines can reach the length
// cap. The lines must not depend on where the chunks end: the whole stream fed at once yields
// the same ones.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> chunks;
  std::string whole;
  while (!input.empty()) {
    const auto header = static_cast<unsigned char>(input.front());
    input.remove_prefix(1);
    const std::string_view piece = input.substr(0, header & 0x7FU);
    input.remove_prefix(piece.size());
    const int repeats = (header & 0x80U) != 0 ? 64 : 1;
    for (int i = 0; i < repeats; ++i) {
      chunks.emplace_back(piece);
      whole += piece;
    }
  }

  vantreel::LineSplitter chunked;
  std::vector<std::string> lines;
  for (const auto& chunk : chunks) {
    for (auto& line : chunked.feed(chunk)) {
      lines.push_back(std::move(line));
    }
  }
  for (auto& line : chunked.finish()) {
    lines.push_back(std::move(line));
  }

  vantreel::LineSplitter once;
  std::vector<std::string> expected = once.feed(whole);
  for (auto& line : once.finish()) {
    expected.push_back(std::move(line));
  }
  if (lines != expected) {
    std::abort();
  }
  for (const auto& line : lines) {
    checkLine(line);
  }
  return 0;
}
