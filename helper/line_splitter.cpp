#include "helper/line_splitter.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>

namespace vantreel {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isAsciiLineEnd(unsigned char byte) { return byte >= 0x0A && byte <= 0x0D; }

bool endsLine(char32_t codePoint) {
  return codePoint == 0x85 || codePoint == 0x2028 || codePoint == 0x2029;
}

// The length of the sequence a lead byte begins, or 0 when no well-formed sequence begins
// with it (a continuation byte, C0, C1, F5..FF).
std::size_t sequenceLength(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) {
    return 2;
  }
  if (lead >= 0xE0 && lead <= 0xEF) {
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    return 4;
  }
  return 0;
}

// Whether byte may follow the bytes of partial; the narrower second-byte ranges exclude
// overlong forms, surrogates and code points above U+10FFFF.
bool continues(std::string_view partial, unsigned char byte) {
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (partial.size() == 1) {
    switch (static_cast<unsigned char>(partial[0])) {
      case 0xE0:
        low = 0xA0;
        break;
      case 0xED:
        high = 0x9F;
        break;
      case 0xF0:
        low = 0x90;
        break;
      case 0xF4:
        high = 0x8F;
        break;
      default:
        break;
    }
  }
  return byte >= low && byte <= high;
}

char32_t decode(std::string_view sequence) {
  const auto byte = [&sequence](std::size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(sequence[i]));
  };
  switch (sequence.size()) {
    case 2:
      return ((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
    case 3:
      return ((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
    default:
      return ((byte(0) & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) |
             (byte(3) & 0x3F);
  }
}

std::size_t encode(char32_t codePoint, char (&out)[4]) {
  if (codePoint < 0x80) {
    out[0] = static_cast<char>(codePoint);
    return 1;
  }
  if (codePoint < 0x800) {
    out[0] = static_cast<char>(0xC0 | (codePoint >> 6));
    out[1] = static_cast<char>(0x80 | (codePoint & 0x3F));
    return 2;
  }
  if (codePoint < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (codePoint >> 12));
    out[1] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (codePoint & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (codePoint >> 18));
  out[1] = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (codePoint & 0x3F));
  return 4;
}

// text is well-formed UTF-8 (the splitter only ever stores such).
std::string_view trimWhiteSpace(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t begin = 0;
  while (begin < length) {
    std::int32_t next = begin;
    UChar32 c = 0;
    U8_NEXT(bytes, next, length, c);
    if (c < 0 || !u_isUWhiteSpace(c)) {
      break;
    }
    begin = next;
  }
  std::int32_t end = length;
  while (end > begin) {
    std::int32_t previous = end;
    UChar32 c = 0;
    U8_PREV(bytes, begin, previous, c);
    if (c < 0 || !u_isUWhiteSpace(c)) {
      break;
    }
    end = previous;
  }
  return text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

}  // namespace

std::vector<std::string> LineSplitter::feed(std::string_view bytes) {
  std::vector<std::string> lines;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (!partial_.empty()) {
      if (!continues(partial_, byte)) {
        // The maximal ill-formed subpart becomes one U+FFFD; the byte starts afresh.
        partial_.clear();
        appendReplacement(lines);
        continue;
      }
      partial_.push_back(static_cast<char>(byte));
      ++i;
      if (partial_.size() == expected_) {
        const char32_t codePoint = decode(partial_);
        partial_.clear();
        appendCodePoint(codePoint, lines);
      }
      continue;
    }
    if (byte < 0x80) {
      if (isAsciiLineEnd(byte)) {
        endLine(lines);
        ++i;
        continue;
      }
      // Plain ASCII runs are the bulk of any output; copy them whole.
      std::size_t end = i + 1;
      while (end < bytes.size() && static_cast<unsigned char>(bytes[end]) < 0x80 &&
             !isAsciiLineEnd(static_cast<unsigned char>(bytes[end]))) {
        ++end;
      }
      while (i < end) {
        if (line_.size() == kMaxLineBytes) {
          endLine(lines);
        }
        const std::size_t take = std::min(end - i, kMaxLineBytes - line_.size());
        line_.append(bytes.substr(i, take));
        i += take;
      }
      continue;
    }
    expected_ = sequenceLength(byte);
    ++i;
    if (expected_ == 0) {
      appendReplacement(lines);
    } else {
      partial_.push_back(static_cast<char>(byte));
    }
  }
  return lines;
}

std::vector<std::string> LineSplitter::finish() {
  std::vector<std::string> lines;
  if (!partial_.empty()) {
    partial_.clear();
    appendReplacement(lines);
  }
  endLine(lines);
  return lines;
}

void LineSplitter::appendCodePoint(char32_t codePoint, std::vector<std::string>& lines) {
  if (endsLine(codePoint)) {
    endLine(lines);
    return;
  }
  char encoded[4];
  const std::size_t length = encode(codePoint, encoded);
  if (line_.size() + length > kMaxLineBytes) {
    endLine(lines);
  }
  line_.append(encoded, length);
}

void LineSplitter::appendReplacement(std::vector<std::string>& lines) {
  appendCodePoint(kReplacement, lines);
}

void LineSplitter::endLine(std::vector<std::string>& lines) {
  const std::string_view trimmed = trimWhiteSpace(line_);
  if (!trimmed.empty()) {
    lines.emplace_back(trimmed);
  }
  line_.clear();
}

}  // namespace vantreel
