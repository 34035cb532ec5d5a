// Throughput of the runner's line splitting on output shaped like OpenConnect's.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>

#include "helper/line_splitter.hpp"

namespace {

std::string repeatedTo(std::string_view unit, std::size_t size) {
  std::string text;
  while (text.size() < size) {
    text += unit;
  }
  return text;
}

// Feeds text in chunks of chunkSize, as the pipe reader hands it over.
void splitInChunks(benchmark::State& state, const std::string& text) {
  const auto chunkSize = static_cast<std::size_t>(state.range(0));
  std::size_t lines = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the benchmark loop
    vantreel::LineSplitter splitter;
    for (std::size_t at = 0; at < text.size(); at += chunkSize) {
      lines += splitter.feed(std::string_view(text).substr(at, chunkSize)).size();
    }
    lines += splitter.finish().size();
  }
  benchmark::DoNotOptimize(lines);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}

void asciiLines(benchmark::State& state) {
  static const std::string text = repeatedTo(
      "POST https://vpn.example.com/\r\nGot CONNECT response: HTTP/1.1 200 OK\r\n"
      "Configured as 10.213.8.2, with SSL connected and DTLS connected\n",
      std::size_t{1} << 20);
  splitInChunks(state, text);
}

void paddedUnicodeLines(benchmark::State& state) {
  static const std::string text = repeatedTo(
      "  \xC2\xA0Verbindung zu Server \xE2\x80\x9Cvpn\xE2\x80\x9D hergestellt \xF0\x9F\x94\x92\t"
      "\xE2\x80\xA8",
      std::size_t{1} << 20);
  splitInChunks(state, text);
}

void oneLineWithoutEnd(benchmark::State& state) {
  static const std::string text(std::size_t{1} << 20, 'x');
  splitInChunks(state, text);
}

void malformedBytes(benchmark::State& state) {
  static const std::string text = repeatedTo("\xFF\xC3(\xE2\x82 ok\n", std::size_t{1} << 20);
  splitInChunks(state, text);
}

BENCHMARK(asciiLines)->Arg(1)->Arg(4096)->Arg(65536);
BENCHMARK(paddedUnicodeLines)->Arg(4096)->Arg(65536);
BENCHMARK(oneLineWithoutEnd)->Arg(65536);
BENCHMARK(malformedBytes)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();
