#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "helper/line_splitter.hpp"
#include "helper/open_connect_line.hpp"

namespace vantreel {
namespace {

using Lines = std::vector<std::string>;

const std::string kReplacement = "\xEF\xBF\xBD";

// Everything the splitter yields for chunks fed in order and then finished.
Lines split(const std::vector<std::string>& chunks) {
  LineSplitter splitter;
  Lines lines;
  for (const auto& chunk : chunks) {
    for (auto& line : splitter.feed(chunk)) {
      lines.push_back(std::move(line));
    }
  }
  for (auto& line : splitter.finish()) {
    lines.push_back(std::move(line));
  }
  return lines;
}

Lines splitBytewise(const std::string& text) {
  std::vector<std::string> chunks;
  for (const char c : text) {
    chunks.emplace_back(1, c);
  }
  return split(chunks);
}

TEST(RunnerLineSplitter, SplitsAtEveryLineEndAndTrimsUnicodeWhiteSpace) {
  EXPECT_EQ(split({"first\nsecond\r\n\nthird  \t\n"}), (Lines{"first", "second", "third"}));
  EXPECT_EQ(split({"  \t\r\n \n\r\n\v\f  "}), Lines{});
  EXPECT_EQ(split({"a\vb\fc\rd\xC2\x85"
                   "e\xE2\x80\xA8"
                   "f\xE2\x80\xA9g"}),
            (Lines{"a", "b", "c", "d", "e", "f", "g"}));
  // No-break space and ideographic space are White_Space; inner blanks stay.
  EXPECT_EQ(split({"\xC2\xA0 inner  blanks \xE3\x80\x80\n"}), Lines{"inner  blanks"});
  // U+200B is not White_Space and stays.
  EXPECT_EQ(split({"\xE2\x80\x8Bx\n"}), Lines{"\xE2\x80\x8Bx"});
}

TEST(RunnerLineSplitter, CarriesUnfinishedLinesAndSequencesIntoTheNextChunk) {
  EXPECT_EQ(split({"Connected tu", "n0 as 10.0", ".0.2\nnext"}),
            (Lines{"Connected tun0 as 10.0.0.2", "next"}));
  // A carriage return ending one chunk and its line feed opening the next make one line end.
  EXPECT_EQ(split({"one\r", "\ntwo\r", "\n"}), (Lines{"one", "two"}));
  // Multi-byte characters cut at every possible point.
  const std::string text = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x92 ok\n";
  EXPECT_EQ(splitBytewise(text), Lines{"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x92 ok"});
  EXPECT_EQ(split({"caf\xC3", "\xA9\n"}), Lines{"caf\xC3\xA9"});
  // A next-line character split across chunks still ends the line.
  EXPECT_EQ(split({"a\xC2",
                   "\x85"
                   "b"}),
            (Lines{"a", "b"}));
}

TEST(RunnerLineSplitter, SplitsTheSameWhateverTheChunking) {
  const std::string text =
      "  WARNING: Cannot set locale\r\nPlease enter your password.\n\xE2\x80\xA8"
      "Connected utun3 as 10.0.0.2 \xC2\x85 tail \xFF\xC3 end";
  const Lines whole = split({text});
  EXPECT_EQ(whole.size(), 4U);
  EXPECT_EQ(splitBytewise(text), whole);
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    EXPECT_EQ(split({text.substr(0, cut), text.substr(cut)}), whole) << "cut at " << cut;
  }
}

TEST(RunnerLineSplitter, ReplacesMalformedBytesInsteadOfDroppingText) {
  EXPECT_EQ(split({"bad \xFF byte\n"}), Lines{"bad " + kReplacement + " byte"});
  // A sequence cut short by a plain character: one replacement, the character kept.
  EXPECT_EQ(split({"x\xE2\x82y\n"}), Lines{"x" + kReplacement + "y"});
  // Overlong forms, surrogates and code points above U+10FFFF are not characters.
  EXPECT_EQ(split({"\xC0\xAF\n"}), Lines{kReplacement + kReplacement});
  EXPECT_EQ(split({"\xED\xA0\x80\n"}), Lines{kReplacement + kReplacement + kReplacement});
  EXPECT_EQ(split({"\xF4\x90\x80\x80\n"}),
            Lines{kReplacement + kReplacement + kReplacement + kReplacement});
  // A lone continuation byte and a lead byte left at end of file.
  EXPECT_EQ(split({"\x80"
                   "a"}),
            Lines{kReplacement + "a"});
  EXPECT_EQ(split({"tail\xF0\x9F"}), Lines{"tail" + kReplacement});
  // A malformed sequence does not swallow the line end after it.
  EXPECT_EQ(split({"a\xE2\nb\n"}), (Lines{"a" + kReplacement, "b"}));
}

TEST(RunnerLineSplitter, CapsALineAtSixtyFourKibibytes) {
  const std::size_t cap = LineSplitter::kMaxLineBytes;
  LineSplitter splitter;
  const auto early = splitter.feed(std::string(cap - 1, 'a'));
  EXPECT_TRUE(early.empty());
  const auto atCap = splitter.feed("bcd");
  ASSERT_EQ(atCap.size(), 1U);
  EXPECT_EQ(atCap[0], std::string(cap - 1, 'a') + "b");
  EXPECT_EQ(splitter.finish(), Lines{"cd"});

  // A multi-byte character that would straddle the cap starts the next piece whole.
  const Lines pieces = split({std::string(cap - 1, 'x') + "\xE2\x82\xAC" + "\n"});
  ASSERT_EQ(pieces.size(), 2U);
  EXPECT_EQ(pieces[0], std::string(cap - 1, 'x'));
  EXPECT_EQ(pieces[1], "\xE2\x82\xAC");

  // A stream without any line end yields bounded pieces and loses nothing.
  const Lines many = split({std::string(3 * cap + 5, 'z')});
  ASSERT_EQ(many.size(), 4U);
  std::size_t total = 0;
  for (const auto& piece : many) {
    EXPECT_LE(piece.size(), cap);
    total += piece.size();
  }
  EXPECT_EQ(total, 3 * cap + 5);
}

// OpenConnect's lines about the session, in its own words.
TEST(OpenConnectLineTest, ReconnectionAndTheSessionsEndAreRecognised) {
  const std::vector<std::pair<std::string, OpenConnectLine>> cases = {
      {"CSTP Dead Peer Detection detected dead peer!", OpenConnectLine::reconnecting},
      {"sleep 10s, remaining timeout 290s", OpenConnectLine::reconnecting},
      {"CSTP connected. DPD 90, Keepalive 32400", OpenConnectLine::reconnected},
      {"Cookie was rejected by server; exiting.", OpenConnectLine::sessionEnded},
      {"Session terminated by server; exiting.", OpenConnectLine::sessionEnded},
      // A dead DTLS peer moves the traffic to TLS: the session goes on.
      {"DTLS Dead Peer Detection detected dead peer!", OpenConnectLine::other},
      {"Connected tun0 as 10.0.0.2, using SSL", OpenConnectLine::other},
  };
  for (const auto& [line, meaning] : cases) {
    EXPECT_EQ(classifyOpenConnectLine(line), meaning) << line;
  }
}

}  // namespace
}  // namespace vantreel
