// ThriftStructInstance: the live value of one struct. Each field is kept as
// the Python object last assigned or read, and/or as a stored value tree that
// converts to Python only when the field is first read.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "parser/ast.hpp"
#include "python/host.hpp"
#include "python/schema.hpp"

namespace vantrel::py {

struct InstanceObject {
    std::string struct_name;
    std::shared_ptr<const schema::FieldLayout> layout;
    std::shared_ptr<const ast::FieldMap> stored;          // shared until changed; null when empty
    std::vector<PyObject*> values;                        // Python values by slot (owned), null when absent
    std::shared_ptr<const schema::StructMap> struct_map;  // for nested structs; may be null

    InstanceObject(std::string name, std::shared_ptr<const schema::FieldLayout> layout,
                   std::shared_ptr<const ast::FieldMap> stored, std::shared_ptr<const schema::StructMap> structs);
    InstanceObject(const InstanceObject&) = delete;
    InstanceObject& operator=(const InstanceObject&) = delete;
    ~InstanceObject();

    const ast::FieldMap& stored_values() const;
    ast::FieldMap& stored_for_change();  // copies the shared map first
    // Python value of a slot (borrowed), or null.
    PyObject* value(std::size_t slot) const { return values[slot]; }
    // Replaces the Python value of a slot (steals `obj`; null clears it).
    void set_value(std::size_t slot, PyObject* obj);
};

PyTypeObject* instance_class();

// A new instance of a struct record holding its defaults and no Python values.
Ref new_instance_of(const schema::StructRecord& record, std::shared_ptr<const schema::StructMap> structs);
Ref new_instance(std::string name, std::shared_ptr<const schema::FieldLayout> layout,
                 std::shared_ptr<const ast::FieldMap> stored, std::shared_ptr<const schema::StructMap> structs);

// The struct value of an instance: stored values overlaid with the converted
// Python values. `declared` is the struct the value is meant for (may be null).
ast::ThriftValue instance_to_struct_value(PyObject* instance, const schema::StructRecord* declared, int depth);

// The factories of ThriftStruct: new_instance(), new_instance_from_dict(items), and calling it.
Ref struct_new_instance(const schema::StructRecord& record);
Ref struct_new_instance_from_dict(const schema::StructRecord& record, PyObject* items);

}  // namespace vantrel::py
