// ThriftParser: the Python entry to the IDL front end.
#pragma once

#include <memory>
#include <optional>

#include "parser/ast.hpp"
#include "python/host.hpp"
#include "python/schema.hpp"

namespace vantrel::py {

struct ParserObject {
    std::optional<ast::ThriftDocument> document;
    // Built on first request and kept until the next successful parse.
    std::shared_ptr<const schema::StructMap> struct_map;
};

PyTypeObject* parser_class();

// The struct map of a ThriftParser's document (empty without one), for the
// `set_parser` methods of clients and servers.
std::shared_ptr<const schema::StructMap> struct_map_of(ParserObject& parser);

}  // namespace vantrel::py
