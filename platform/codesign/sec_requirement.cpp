#include "platform/codesign/sec_requirement.hpp"

#include <optional>

#include "platform/posix/check.hpp"

namespace vantreel::platform::codesign {
namespace {

struct Token {
  enum class Kind { word, string, symbol, end };
  Kind kind = Kind::end;
  std::string text;
};

bool isWordCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

std::optional<std::vector<Token>> tokenize(std::string_view text) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      ++i;
    } else if (c == '(' || c == ')' || c == '[' || c == ']' || c == '=' || c == '!') {
      tokens.push_back({Token::Kind::symbol, std::string(1, c)});
      ++i;
    } else if (c == '"') {
      std::string value;
      ++i;
      for (;;) {
        if (i >= text.size()) {
          return std::nullopt;  // unterminated
        }
        const char d = text[i++];
        if (d == '"') {
          break;
        }
        if (d == '\\') {
          if (i >= text.size() || (text[i] != '"' && text[i] != '\\')) {
            return std::nullopt;
          }
          value += text[i++];
        } else if (static_cast<unsigned char>(d) < 0x20 || d == 0x7f) {
          return std::nullopt;
        } else {
          value += d;
        }
      }
      tokens.push_back({Token::Kind::string, std::move(value)});
    } else if (isWordCharacter(c)) {
      const std::size_t start = i;
      while (i < text.size() && isWordCharacter(text[i])) {
        ++i;
      }
      tokens.push_back({Token::Kind::word, std::string(text.substr(start, i - start))});
    } else {
      return std::nullopt;
    }
  }
  tokens.push_back({Token::Kind::end, {}});
  return tokens;
}

// Recursive descent; the recursion is bounded by kMaxDepth (nesting) and by flattening chains.
// NOLINTBEGIN(misc-no-recursion)
class Parser {
 public:
  using Node = SecRequirement::Node;

  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  std::optional<std::size_t> parseAll() {
    const auto root = parseDisjunction();
    if (!root || peek().kind != Token::Kind::end) {
      return std::nullopt;
    }
    return root;
  }

  std::vector<Node> takeNodes() && { return std::move(nodes_); }

 private:
  const Token& peek() const { return tokens_[position_]; }
  const Token& next() {
    const Token& token = tokens_[position_];
    if (token.kind != Token::Kind::end) {
      ++position_;
    }
    return token;
  }
  bool acceptWord(std::string_view word) {
    if (peek().kind == Token::Kind::word && peek().text == word) {
      ++position_;
      return true;
    }
    return false;
  }
  bool acceptSymbol(char symbol) {
    if (peek().kind == Token::Kind::symbol && peek().text[0] == symbol) {
      ++position_;
      return true;
    }
    return false;
  }
  std::optional<std::string> expectString() {
    if (peek().kind != Token::Kind::string) {
      return std::nullopt;
    }
    return next().text;
  }
  std::size_t add(Node node) {
    nodes_.push_back(std::move(node));
    return nodes_.size() - 1;
  }

  // Chains of one operator become one node with many operands, so a long chain costs no depth.
  std::optional<std::size_t> parseDisjunction() {
    auto first = parseConjunction();
    if (!first || !(peek().kind == Token::Kind::word && peek().text == "or")) {
      return first;
    }
    Node node{Node::Kind::disjunction, {}, {*first}};
    while (acceptWord("or")) {
      const auto operand = parseConjunction();
      if (!operand) {
        return std::nullopt;
      }
      node.operands.push_back(*operand);
    }
    return add(std::move(node));
  }

  std::optional<std::size_t> parseConjunction() {
    auto first = parseUnary();
    if (!first || !(peek().kind == Token::Kind::word && peek().text == "and")) {
      return first;
    }
    Node node{Node::Kind::conjunction, {}, {*first}};
    while (acceptWord("and")) {
      const auto operand = parseUnary();
      if (!operand) {
        return std::nullopt;
      }
      node.operands.push_back(*operand);
    }
    return add(std::move(node));
  }

  std::optional<std::size_t> parseUnary() {
    if (acceptSymbol('!')) {
      if (++depth_ > SecRequirement::kMaxDepth) {
        return std::nullopt;
      }
      const auto operand = parseUnary();
      --depth_;
      if (!operand) {
        return std::nullopt;
      }
      return add(Node{Node::Kind::negation, {}, {*operand}});
    }
    return parsePrimary();
  }

  std::optional<std::size_t> parsePrimary() {
    if (acceptSymbol('(')) {
      if (++depth_ > SecRequirement::kMaxDepth) {
        return std::nullopt;
      }
      const auto inner = parseDisjunction();
      --depth_;
      if (!inner || !acceptSymbol(')')) {
        return std::nullopt;
      }
      return inner;
    }
    if (acceptWord("anchor")) {
      if (!acceptWord("apple") || !acceptWord("generic")) {
        return std::nullopt;
      }
      return add(Node{Node::Kind::anchor, {}, {}});
    }
    if (acceptWord("certificate")) {
      if (!acceptWord("leaf") || !acceptSymbol('[') || !acceptWord("subject.OU") ||
          !acceptSymbol(']') || !acceptSymbol('=')) {
        return std::nullopt;
      }
      auto value = expectString();
      if (!value) {
        return std::nullopt;
      }
      return add(Node{Node::Kind::leafOU, std::move(*value), {}});
    }
    if (acceptWord("identifier")) {
      auto value = expectString();
      if (!value) {
        return std::nullopt;
      }
      return add(Node{Node::Kind::identifier, std::move(*value), {}});
    }
    return std::nullopt;
  }

  std::vector<Token> tokens_;
  std::size_t position_ = 0;
  int depth_ = 0;
  std::vector<Node> nodes_;
};
// NOLINTEND(misc-no-recursion)

}  // namespace

tl::expected<std::shared_ptr<SecRequirement>, OSStatus> SecRequirement::compile(
    std::string_view text) {
  if (text.size() > kMaxTextLength) {
    return tl::unexpected(errSecCSReqInvalid);
  }
  auto tokens = tokenize(text);
  if (!tokens) {
    return tl::unexpected(errSecCSReqInvalid);
  }
  Parser parser(std::move(*tokens));
  const auto root = parser.parseAll();
  if (!root) {
    return tl::unexpected(errSecCSReqInvalid);
  }
  return std::shared_ptr<SecRequirement>(
      new SecRequirement(std::string(text), std::move(parser).takeNodes(), *root));
}

bool SecRequirement::isSatisfiedBy(const VerifiedSignature& signature) const {
  return evaluate(root_, signature);
}

// Recurses no deeper than the parser nested.
// NOLINTNEXTLINE(misc-no-recursion)
bool SecRequirement::evaluate(std::size_t index, const VerifiedSignature& signature) const {
  VT_CHECK(index < nodes_.size());
  const Node& node = nodes_[index];
  switch (node.kind) {
    case Node::Kind::anchor:
      return signature.anchored;
    case Node::Kind::leafOU:
      return signature.teamID.has_value() && *signature.teamID == node.value;
    case Node::Kind::identifier:
      return signature.identifier == node.value;
    case Node::Kind::negation:
      return !evaluate(node.operands.front(), signature);
    case Node::Kind::conjunction:
      for (const auto operand : node.operands) {
        if (!evaluate(operand, signature)) {
          return false;
        }
      }
      return true;
    case Node::Kind::disjunction:
      for (const auto operand : node.operands) {
        if (evaluate(operand, signature)) {
          return true;
        }
      }
      return false;
  }
  return false;
}

}  // namespace vantreel::platform::codesign
