#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vantreel {

// Turns one output stream of a child, read in chunks of any size, into trimmed text lines.
//
// A line ends at a line feed, vertical tab, form feed, carriage return, next line (U+0085),
// line separator (U+2028) or paragraph separator (U+2029); a carriage return and line feed
// leave no empty line between them, since empty pieces are dropped. Each piece is trimmed of
// Unicode White_Space and dropped when nothing is left. What a chunk leaves unfinished, a line
// or a UTF-8 sequence, is carried into the next one and ended by finish(). Bytes that are not
// UTF-8 become U+FFFD. A line that reaches kMaxLineBytes is passed on as it stands, so a
// stream without line ends cannot grow the buffer without bound.
//
// One instance per stream; not safe for concurrent use.
class LineSplitter {
 public:
  static constexpr std::size_t kMaxLineBytes = std::size_t{64} * 1024;

  // The lines that bytes completes, in order.
  [[nodiscard]] std::vector<std::string> feed(std::string_view bytes);
  // The lines still held back; call at end of file.
  [[nodiscard]] std::vector<std::string> finish();

 private:
  void appendCodePoint(char32_t codePoint, std::vector<std::string>& lines);
  void appendReplacement(std::vector<std::string>& lines);
  void endLine(std::vector<std::string>& lines);

  std::string line_;          // the unfinished line, valid UTF-8
  std::string partial_;       // the leading bytes of an unfinished UTF-8 sequence
  std::size_t expected_ = 0;  // the length of the sequence partial_ begins
};

}  // namespace vantreel
