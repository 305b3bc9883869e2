// ThriftStructInstance: the live value of one struct. Each field is kept as
// the Python object last assigned or read, and/or as a stored value that
// converts to Python only when the field is first read. A deserialized
// instance keeps its message and only the positions of its fields: a field
// is decoded when it is read.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "parser/ast.hpp"
#include "python/enums.hpp"
#include "python/host.hpp"
#include "python/schema.hpp"

namespace vantrel::py {

// One field of an instance.
struct Slot {
    PyObject* value = nullptr;    // the Python value (owned), or null
    std::size_t raw_offset = 0;   // where the encoded value starts in the message
    std::int32_t raw_field = -1;  // the declared field it is encoded as; -1 when not in the message
    std::int8_t raw_bool = -1;    // a bool field's value, taken while scanning

    bool is_raw() const { return raw_field >= 0; }
};

struct InstanceObject {
    std::string struct_name;
    std::shared_ptr<const schema::FieldLayout> layout;
    std::shared_ptr<const ast::FieldMap> stored;          // shared until changed; null when empty
    ast::FieldMap* owned = nullptr;                       // `stored`, when this instance made it
    std::vector<Slot> slots;                              // one per layout slot
    std::shared_ptr<const schema::StructMap> struct_map;  // for nested structs; may be null
    PyObject* source = nullptr;                           // the encoded message (`bytes`, owned) of raw fields
    ProtocolType source_protocol = ProtocolType::Binary;

    InstanceObject(std::string name, std::shared_ptr<const schema::FieldLayout> layout,
                   std::shared_ptr<const ast::FieldMap> stored, std::shared_ptr<const schema::StructMap> structs);
    InstanceObject(const InstanceObject&) = delete;
    InstanceObject& operator=(const InstanceObject&) = delete;
    ~InstanceObject();

    const ast::FieldMap& stored_values() const;
    ast::FieldMap& stored_for_change();  // copies the shared map first
    // Python value of a slot (borrowed), or null.
    PyObject* value(std::size_t slot) const { return slots[slot].value; }
    // Replaces the Python value of a slot (steals `obj`; null clears it).
    void set_value(std::size_t slot, PyObject* obj);
    // The stored value of a field: decoded from the message into `scratch`
    // when it is raw, else looked up (`slot` is -1 for a name without one).
    const ast::ThriftValue* stored_value(int slot, std::string_view name, ast::ThriftValue& scratch) const;
    // Every stored value, raw ones decoded.
    ast::FieldMap all_stored_values() const;
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

// Raw fields (defined with the readers).
Ref raw_field_to_py(const InstanceObject& instance, std::size_t slot);
ast::ThriftValue raw_field_to_tree(const InstanceObject& instance, std::size_t slot);
// A new instance over a Binary or Compact message held in `bytes`.
Ref deserialize_lazily(const schema::StructRecord& record, PyObject* bytes, ProtocolType protocol);

}  // namespace vantrel::py
