// Deserialized instances that keep their message: fields are found by one
// checking pass and decoded only when read.
#include "protocol/binary.hpp"
#include "protocol/compact.hpp"
#include "python/instance.hpp"
#include "python/reader.hpp"

namespace vantrel::py {

namespace {

template <class R>
struct Lazy {
    // A struct read from the message: a new instance over the same message.
    static Ref instance(R& r, const schema::StructRecord& entry, std::string name,
                        const std::shared_ptr<const schema::StructMap>& structs, PyObject* source,
                        ProtocolType protocol, std::size_t origin, int depth) {
        std::shared_ptr<ast::FieldMap> eager;
        Ref obj = new_instance(std::move(name), entry.layout, nullptr, structs);
        InstanceObject& inst = value_of<InstanceObject>(obj.get());
        detail::enter_native(depth);
        r.read_struct_begin();
        scan_struct_fields(r, entry, structs.get(), depth, inst.slots.data(), origin, &eager);
        r.read_struct_end();
        if (eager) inst.stored = std::move(eager);
        Py_INCREF(source);
        inst.source = source;
        inst.source_protocol = protocol;
        return obj;
    }

    static R reader_at(const InstanceObject& inst, std::size_t offset) {
        auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(inst.source));
        return R(data + offset, std::size_t(PyBytes_GET_SIZE(inst.source)) - offset);
    }

    static Ref to_py(const InstanceObject& inst, std::size_t slot) {
        const Slot& s = inst.slots[slot];
        const ast::ThriftField& field = inst.layout->declared[std::size_t(s.raw_field)];
        if (s.raw_bool >= 0) return boolean(s.raw_bool != 0);
        R r = reader_at(inst, s.raw_offset);
        // Struct values become instances named as the declared type, like
        // decoded struct values do.
        auto make_struct = [&](R& reader, const ast::ThriftType& type, int depth) {
            auto entry = schema::find_struct(inst.struct_map.get(), type.name);
            if (!entry) raise(PyExc_ValueError, "Unknown struct type: " + type.name);
            return instance(reader, *entry, type.name, inst.struct_map, inst.source, inst.source_protocol,
                            s.raw_offset, depth);  // the reader starts at raw_offset
        };
        try {
            return detail::read_python(r, field.field_type, make_struct, 0);
        } catch (const ProtocolError& e) {
            raise(PyExc_OSError, "Read error: " + e.to_io().text);
        }
    }

    static ast::ThriftValue to_tree(const InstanceObject& inst, std::size_t slot) {
        const Slot& s = inst.slots[slot];
        const ast::ThriftField& field = inst.layout->declared[std::size_t(s.raw_field)];
        if (s.raw_bool >= 0) return ast::ThriftValue{ast::ThriftValue::Storage(s.raw_bool != 0)};
        R r = reader_at(inst, s.raw_offset);
        try {
            return read_decoded_value(r, field.field_type, inst.struct_map.get(), 0);
        } catch (const ProtocolError& e) {
            raise(PyExc_OSError, "Read error: " + e.to_io().text);
        }
    }
};

}  // namespace

Ref raw_field_to_py(const InstanceObject& inst, std::size_t slot) {
    if (inst.source_protocol == ProtocolType::Compact) return Lazy<protocol::CompactReader>::to_py(inst, slot);
    return Lazy<protocol::BinaryReader>::to_py(inst, slot);
}

ast::ThriftValue raw_field_to_tree(const InstanceObject& inst, std::size_t slot) {
    if (inst.source_protocol == ProtocolType::Compact) return Lazy<protocol::CompactReader>::to_tree(inst, slot);
    return Lazy<protocol::BinaryReader>::to_tree(inst, slot);
}

Ref deserialize_lazily(const schema::StructRecord& record, PyObject* bytes, ProtocolType protocol) {
    auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes));
    std::size_t size = std::size_t(PyBytes_GET_SIZE(bytes));
    auto run = [&](auto reader) {
        try {
            return Lazy<decltype(reader)>::instance(reader, record, record.name, record.struct_map, bytes, protocol,
                                                    0, 0);
        } catch (const ProtocolError& e) {
            raise(PyExc_OSError, "Read error: " + e.to_io().text);
        }
    };
    if (protocol == ProtocolType::Compact) return run(protocol::CompactReader(data, size));
    return run(protocol::BinaryReader(data, size));
}

}  // namespace vantrel::py
