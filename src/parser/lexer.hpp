// IDL lexer: the whole text becomes a token list before parsing starts.
#pragma once

#include <string_view>
#include <vector>

#include "ast.hpp"

namespace vantrel::idl {

// `text` is valid UTF-8. Throws ast::ParseError.
std::vector<ast::Token> tokenize(std::string_view text);

}  // namespace vantrel::idl
