// IDL parser: token list to document, with typedef and enum resolution,
// default values and `extends` merging.
#pragma once

#include <string_view>

#include "ast.hpp"

namespace vantrel::idl {

// Tokenizes and parses `text` (valid UTF-8). Throws ast::ParseError.
ast::ThriftDocument parse_document(std::string_view text);

}  // namespace vantrel::idl
