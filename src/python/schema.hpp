// Schema records shared with the serializers, clients and server, and the
// Python classes that show them: ThriftStruct, ThriftField, PyThriftService,
// PyThriftMethod.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "parser/ast.hpp"
#include "python/host.hpp"

namespace vantrel::schema {

struct StructRecord;

// Struct name (and include-qualified name) -> record. Shared and immutable.
using StructMap = std::unordered_map<std::string, std::shared_ptr<const StructRecord>>;
using FieldsByName = std::unordered_map<std::string, ast::ThriftField>;

struct StructRecord {
    std::string name;
    std::vector<ast::ThriftField> fields;                   // declaration order
    std::unordered_map<std::int16_t, std::size_t> field_index_by_id;  // a repeated id keeps its last position
    std::shared_ptr<const StructMap> struct_map;            // null for the records inside a struct map
    std::shared_ptr<const FieldsByName> fields_by_name;     // a repeated name keeps the later field
    std::shared_ptr<const std::vector<std::string>> field_names;
};

struct MethodRecord {
    std::string name;
    std::vector<ast::ThriftField> arguments;
    std::vector<ast::ThriftField> exceptions;
    ast::ThriftType return_type;
    std::unordered_map<std::int16_t, std::size_t> field_index_by_id;  // over `arguments`
    bool oneway = false;
};

struct ServiceRecord {
    std::string name;
    std::vector<std::shared_ptr<const MethodRecord>> methods;
};

// Every struct of the document under its name and under each include prefix
// ("shared.Point" for include "idl/shared.thrift"). Each record of the result
// resolves nested names through the inner map it points to.
std::shared_ptr<const StructMap> build_struct_map(const ast::ThriftDocument& document);

ServiceRecord build_service(const ast::ThriftService& service);

}  // namespace vantrel::schema

namespace vantrel::py {

// Python objects of the four schema classes.
struct StructObject {
    std::shared_ptr<const schema::StructRecord> record;
};
struct FieldObject {
    ast::ThriftField field;
};
struct ServiceObject {
    std::shared_ptr<const schema::ServiceRecord> record;
};
struct MethodObject {
    std::shared_ptr<const schema::MethodRecord> record;
};

PyTypeObject* struct_class();
PyTypeObject* field_class();
PyTypeObject* service_class();
PyTypeObject* method_class();

}  // namespace vantrel::py
