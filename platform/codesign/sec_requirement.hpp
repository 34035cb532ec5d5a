#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <tl/expected.hpp>
#include <vector>

#include "platform/codesign/os_status.hpp"
#include "platform/codesign/verified_signature.hpp"

namespace vantreel::platform::codesign {

// A compiled code requirement. The language is the small part of the original one that the
// product uses:
//   expr    := and ("or" and)*
//   and     := unary ("and" unary)*
//   unary   := "!" unary | primary
//   primary := "(" expr ")" | "anchor" "apple" "generic"
//            | "certificate" "leaf" "[" "subject.OU" "]" "=" string | "identifier" string
// with strings in double quotes (\" and \\ escape). Anything else is refused.
class SecRequirement {
 public:
  static constexpr std::size_t kMaxTextLength = 4096;
  static constexpr int kMaxDepth = 32;  // nesting of parentheses and "!"

  // errSecCSReqInvalid for a text outside the language or beyond the limits.
  [[nodiscard]] static tl::expected<std::shared_ptr<SecRequirement>, OSStatus> compile(
      std::string_view text);

  // "anchor apple generic" holds when the chain reached an anchor, "certificate
  // leaf[subject.OU]" when the leaf's single OU equals the text exactly, "identifier" when the
  // code directory's identifier does.
  [[nodiscard]] bool isSatisfiedBy(const VerifiedSignature& signature) const;

  [[nodiscard]] const std::string& text() const noexcept { return text_; }

  struct Node {
    enum class Kind { anchor, leafOU, identifier, negation, conjunction, disjunction };
    Kind kind;
    std::string value;                  // leafOU, identifier
    std::vector<std::size_t> operands;  // negation (one), conjunction and disjunction (two+)
  };

 private:
  SecRequirement(std::string text, std::vector<Node> nodes, std::size_t root)
      : text_(std::move(text)), nodes_(std::move(nodes)), root_(root) {}
  [[nodiscard]] bool evaluate(std::size_t node, const VerifiedSignature& signature) const;

  std::string text_;
  std::vector<Node> nodes_;
  std::size_t root_;
};

}  // namespace vantreel::platform::codesign
