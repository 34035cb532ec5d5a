// Stand-in for a signed program of the bundle whose real target is not built here (the
// desktop app always, the control tool and the daemon until they exist). It stays alive until
// its standard input ends, so tests can examine it while it runs.
#include <cstdio>
#include <string_view>

namespace {

// Tests patch this text inside a signed copy to get a file that changed after signing.
const char kMarker[] = "vantreel-standin-marker:0000";

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "--marker") {
    std::puts(kMarker);
    return 0;
  }
  while (std::getchar() != EOF) {
  }
  return 0;
}
