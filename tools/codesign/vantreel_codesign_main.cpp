// vantreel-codesign: signs ELF files, seals app bundles and verifies either.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "platform/codesign/code_signer.hpp"
#include "platform/codesign/code_signing.hpp"
#include "platform/codesign/signing_identity.hpp"

namespace {

namespace cs = vantreel::platform::codesign;

constexpr int kExitInvalid = 1;
constexpr int kExitUsage = 2;

// Without --requirement, verify insists on a chain to the compiled-in anchors: a signature
// that merely checks out under some certificate says nothing about who made the code.
constexpr const char* kDefaultRequirement = "anchor apple generic";

int usage() {
  std::cerr << "usage: vantreel-codesign sign --identifier ID --key KEY --cert CERT [--chain PEM] "
               "FILE\n"
               "       vantreel-codesign seal --identifier ID --key KEY --cert CERT [--chain PEM] "
               "BUNDLE.app\n"
               "       vantreel-codesign verify [--requirement TEXT] PATH\n";
  return kExitUsage;
}

struct Arguments {
  std::map<std::string, std::string> options;
  std::vector<std::string> operands;
};

// Options take one value each; only the listed ones are known.
bool parse(int argc, char** argv, const std::vector<std::string>& known, Arguments& out) {
  for (int i = 2; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.starts_with("--")) {
      const std::string name = word.substr(2);
      if (std::find(known.begin(), known.end(), name) == known.end() || i + 1 >= argc ||
          out.options.contains(name)) {
        return false;
      }
      out.options[name] = argv[++i];
    } else {
      out.operands.push_back(word);
    }
  }
  return out.operands.size() == 1;
}

int sign(int argc, char** argv, bool bundle) {
  Arguments args;
  if (!parse(argc, argv, {"identifier", "key", "cert", "chain"}, args) ||
      !args.options.contains("identifier") || !args.options.contains("key") ||
      !args.options.contains("cert")) {
    return usage();
  }
  const auto identity =
      cs::SigningIdentity::load(args.options["key"], args.options["cert"], args.options["chain"]);
  if (!identity) {
    std::cerr << "vantreel-codesign: " << identity.error() << "\n";
    return kExitInvalid;
  }
  const auto& target = args.operands.front();
  const auto done = bundle
                        ? cs::CodeSigner::sealBundle(target, args.options["identifier"], *identity)
                        : cs::CodeSigner::signElf(target, args.options["identifier"], *identity);
  if (!done) {
    std::cerr << "vantreel-codesign: " << done.error() << "\n";
    return kExitInvalid;
  }
  return 0;
}

int verify(int argc, char** argv) {
  Arguments args;
  if (!parse(argc, argv, {"requirement"}, args)) {
    return usage();
  }
  auto& services = cs::CodeSigning::real();
  const std::string text =
      args.options.contains("requirement") ? args.options["requirement"] : kDefaultRequirement;
  const auto requirement = services.SecRequirementCreateWithString(text, cs::kSecCSDefaultFlags);
  if (!requirement) {
    std::cerr << "vantreel-codesign: requirement does not compile (" << requirement.error()
              << ")\n";
    return kExitUsage;
  }
  const auto code =
      services.SecStaticCodeCreateWithPath(args.operands.front(), cs::kSecCSDefaultFlags);
  if (!code) {
    std::cout << "path: " << args.operands.front() << "\nresult: invalid (" << code.error()
              << ")\n";
    return kExitInvalid;
  }
  std::cout << "path: " << (*code)->path() << "\n";
  const auto information = services.SecCodeCopySigningInformation(*code, cs::kSecCSDefaultFlags);
  if (information) {
    std::cout << "identifier: " << information->identifier << "\n"
              << "team: " << information->teamID.value_or("none") << "\n"
              << "anchored: " << (information->anchored ? "yes" : "no") << "\n";
  }
  const auto status =
      services.SecStaticCodeCheckValidity(*code, cs::kSecCSCheckAllArchitectures, *requirement);
  if (status != cs::errSecSuccess) {
    std::cout << "result: invalid (" << status << ")\n";
    return kExitInvalid;
  }
  std::cout << "result: valid\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc < 2) {
      return usage();
    }
    const std::string command = argv[1];
    if (command == "sign") {
      return sign(argc, argv, false);
    }
    if (command == "seal") {
      return sign(argc, argv, true);
    }
    if (command == "verify") {
      return verify(argc, argv);
    }
    return usage();
  } catch (const std::exception& error) {
    std::cerr << "vantreel-codesign: " << error.what() << "\n";
    return kExitInvalid;
  }
}
