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

struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// Struct name (and include-qualified name) -> record. Shared and immutable.
using StructMap = std::unordered_map<std::string, std::shared_ptr<const StructRecord>, NameHash, std::equal_to<>>;

// The field names of a struct (or of a directly built instance), shared by the
// struct and every instance made from it. Each distinct name has one slot.
struct FieldLayout {
    std::vector<std::string> field_names;          // in order, repeats kept
    std::vector<std::string> slot_names;           // each distinct name once, first occurrence order
    std::vector<std::uint32_t> slot_of_field;      // field_names index -> slot
    std::vector<ast::ThriftField> slot_field;      // declared field of a slot (a later one of the same name wins); empty when untyped
    std::vector<ast::ThriftField> declared;        // every declared field in order; typed only
    std::vector<std::int16_t> slot_first_id;       // id of the first declared field of a slot's name; typed only
    std::vector<py::SharedRef> py_names;           // slot -> interned Python str
    std::unordered_map<std::string_view, std::uint32_t> slot_by_text;

    // From declared fields or from bare names (interpreter lock held).
    static std::shared_ptr<const FieldLayout> typed(const std::vector<ast::ThriftField>& fields);
    static std::shared_ptr<const FieldLayout> untyped(std::vector<std::string> names);

    // Declared fields are known: the conversions are typed.
    bool is_typed() const { return !slot_field.empty(); }
    std::size_t slots() const { return slot_names.size(); }
    // The slot of an attribute name, or -1 when it names no field.
    int slot_of(PyObject* name) const;
    int slot_of(std::string_view name) const;
};

struct StructRecord {
    std::string name;
    std::vector<ast::ThriftField> fields;                             // declaration order
    std::unordered_map<std::int16_t, std::size_t> field_index_by_id;  // a repeated id keeps its last position
    std::shared_ptr<const StructMap> struct_map;  // null for the records inside a struct map
    std::shared_ptr<const FieldLayout> layout;
    std::shared_ptr<const ast::FieldMap> defaults;  // declared defaults by name; what new instances start from

    // Position in `fields` of a field id, or -1.
    int index_of(std::int16_t id) const {
        if (id >= 0 && std::size_t(id) < small_ids.size()) return small_ids[std::size_t(id)];
        auto found = field_index_by_id.find(id);
        return found == field_index_by_id.end() ? -1 : int(found->second);
    }
    std::vector<int> small_ids;  // direct table for the common small ids
};

struct MethodRecord {
    std::string name;
    std::vector<ast::ThriftField> arguments;
    std::vector<ast::ThriftField> exceptions;
    ast::ThriftType return_type;
    std::unordered_map<std::int16_t, std::size_t> field_index_by_id;  // over `arguments`
    bool oneway = false;
    std::shared_ptr<const FieldLayout> argument_layout;  // the argument names as Python strings
};

struct ServiceRecord {
    std::string name;
    std::vector<std::shared_ptr<const MethodRecord>> methods;
};

std::shared_ptr<const StructRecord> find_struct(const StructMap* map, std::string_view name);

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
