#include "python/serialize.hpp"

#include "protocol/binary.hpp"
#include "protocol/compact.hpp"
#include "protocol/json.hpp"
#include "python/instance.hpp"
#include "python/reader.hpp"
#include "python/writer.hpp"

namespace vantrel::py {

namespace detail {

void raise_write_error(const ProtocolError& error) { raise(PyExc_OSError, "Write error: " + error.to_io().text); }
void raise_protocol_error(const ProtocolError& error) { raise(PyExc_OSError, error.display()); }
void container_changed(const char* what) {
    PyErr_Format(PyExc_RuntimeError, "%s changed size during serialization", what);
    throw Error{};
}
void unknown_struct_in_schema(const std::string& name) { raise(PyExc_ValueError, "Unknown struct in schema: " + name); }
void required_is_none(const std::string& name) {
    raise(PyExc_TypeError, "Required field '" + name + "' cannot be None");
}

}  // namespace detail

namespace {

// The struct's framing is the same call sequence for every protocol: Binary
// writes nothing for begin and end, JSON nothing for STOP.
template <class W>
Ref serialize_as(const schema::StructRecord& record, PyObject* data) {
    protocol::ByteBuffer buffer(128 + 16 * record.fields.size());
    W writer(buffer);
    try {
        writer.write_struct_begin();
        serialize_struct_any(writer, record, data, record.struct_map.get(), 0);
        writer.write_field_stop();
    } catch (const ProtocolError& e) {
        detail::raise_protocol_error(e);
    }
    try {
        writer.write_struct_end();
    } catch (const ProtocolError& e) {
        detail::raise_write_error(e);
    }
    return own(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data()), Py_ssize_t(buffer.size())));
}

const schema::StructRecord& record_of(PyObject* self) { return *value_of<StructObject>(self).record; }

}  // namespace

Ref serialize_struct(const schema::StructRecord& record, PyObject* data, ProtocolType protocol) {
    switch (protocol) {
        case ProtocolType::Binary: return serialize_as<protocol::BinaryWriter>(record, data);
        case ProtocolType::Compact: return serialize_as<protocol::CompactWriter>(record, data);
        case ProtocolType::JSON: return serialize_as<protocol::JsonWriter>(record, data);
    }
    raise(PyExc_ValueError, "unknown protocol");
}

Ref deserialize_struct(const schema::StructRecord& record, PyObject* data, ProtocolType protocol) {
    // Read in place: the bytes object is immutable, and instances keep it.
    std::string_view bytes(PyBytes_AS_STRING(data), std::size_t(PyBytes_GET_SIZE(data)));
    if (protocol == ProtocolType::JSON) return deserialize_json_struct(record, bytes);
    return deserialize_lazily(record, data, protocol);
    raise(PyExc_ValueError, "unknown protocol");
}

namespace {

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

constexpr Params<1> serialize_params{"serialize()", {"data"}};
constexpr Params<2> serialize_with_params{"serialize_with_protocol()", {"data", "protocol"}};
constexpr Params<1> deserialize_params{"deserialize()", {"data"}};
constexpr Params<2> deserialize_with_params{"deserialize_with_protocol()", {"data", "protocol"}};
constexpr Params<1> from_dict_params{"new_instance_from_dict()", {"items"}};
constexpr Params<2> serialize_struct_params{"serialize_struct()", {"struct_def", "data"}};
constexpr Params<2> deserialize_struct_params{"deserialize_struct()", {"struct_def", "data"}};

Ref struct_serialize(StructObject& self, const CallArgs& call) {
    auto [data] = bind(serialize_params, call);
    return serialize_struct(*self.record, data.obj, ProtocolType::Binary);
}
Ref struct_serialize_with(StructObject& self, const CallArgs& call) {
    auto [data, protocol] = bind(serialize_with_params, call);
    return serialize_struct(*self.record, data.obj, protocol_arg(protocol));
}
Ref struct_deserialize(StructObject& self, const CallArgs& call) {
    auto [data] = bind(deserialize_params, call);
    return deserialize_struct(*self.record, data.bytes(), ProtocolType::Binary);
}
Ref struct_deserialize_with(StructObject& self, const CallArgs& call) {
    auto [data, protocol] = bind(deserialize_with_params, call);
    ProtocolType p = protocol_arg(protocol);
    return deserialize_struct(*self.record, data.bytes(), p);
}
Ref struct_new(StructObject& self) { return struct_new_instance(*self.record); }
Ref struct_new_from_dict(StructObject& self, const CallArgs& call) {
    auto [items] = bind(from_dict_params, call);
    return struct_new_instance_from_dict(*self.record, items.dict());
}

const schema::StructRecord& struct_def_arg(const Arg& arg) {
    if (!is_instance<StructObject>(arg.obj)) arg.type_error("ThriftStruct");
    return record_of(arg.obj);
}

template <ProtocolType P>
Ref protocol_serialize(const CallArgs& call) {
    auto [struct_def, data] = bind(serialize_struct_params, call);
    return serialize_struct(struct_def_arg(struct_def), data.obj, P);
}

template <ProtocolType P>
Ref protocol_deserialize(const CallArgs& call) {
    auto [struct_def, data] = bind(deserialize_struct_params, call);
    const schema::StructRecord& record = struct_def_arg(struct_def);
    return deserialize_struct(record, data.bytes(), P);
}

template <class Tag>
PyObject* protocol_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return boundary<PyObject*>(nullptr, [&] {
        if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0))
            raise(PyExc_TypeError, "the protocol classes take no arguments");
        return make<Tag>().release();
    });
}

template <ProtocolType P>
PyMethodDef protocol_methods[] = {
    {"serialize_struct", cfunc(&static_method<&protocol_serialize<P>>), fastcall | METH_STATIC,
     "serialize_struct(struct_def, data)\n--\n\n"},
    {"deserialize_struct", cfunc(&static_method<&protocol_deserialize<P>>), fastcall | METH_STATIC,
     "deserialize_struct(struct_def, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The protocol classes hold no data; distinct tags keep their types apart.
struct BinaryTag {};
struct CompactTag {};
struct JsonTag {};

template <class Tag, ProtocolType P>
PyTypeObject* protocol_class(const char* name, const char* doc) {
    return define_type<Tag>({name,
                             doc,
                             {{Py_tp_new, reinterpret_cast<void*>(&protocol_new<Tag>)},
                              {Py_tp_methods, protocol_methods<P>}}});
}

}  // namespace

PyMethodDef struct_methods[] = {
    {"new_instance", cfunc(&method_noargs<&struct_new>), METH_NOARGS,
     "new_instance($self)\n--\n\nConstruct an empty ThriftStructInstance with all fields set to None."},
    {"new_instance_from_dict", cfunc(&method<&struct_new_from_dict>), fastcall,
     "new_instance_from_dict($self, items)\n--\n\n"},
    {"serialize", cfunc(&method<&struct_serialize>), fastcall,
     "serialize($self, data)\n--\n\nSerialize a struct from either a `ThriftStructInstance` or a plain `dict`."},
    {"serialize_with_protocol", cfunc(&method<&struct_serialize_with>), fastcall,
     "serialize_with_protocol($self, data, protocol)\n--\n\n"
     "Serialize a struct from either a `ThriftStructInstance` or a plain `dict` using specific protocol."},
    {"deserialize", cfunc(&method<&struct_deserialize>), fastcall,
     "deserialize($self, data)\n--\n\nDeserialize bytes into a `ThriftStructInstance`."},
    {"deserialize_with_protocol", cfunc(&method<&struct_deserialize_with>), fastcall,
     "deserialize_with_protocol($self, data, protocol)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* struct_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary<PyObject*>(nullptr, [&] {
        if (PyTuple_GET_SIZE(args) != 0) {
            PyErr_Format(PyExc_TypeError, "ThriftStruct() takes no positional arguments (%zd given)",
                         PyTuple_GET_SIZE(args));
            throw Error{};
        }
        const schema::StructRecord& record = record_of(self);
        if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) return struct_new_instance(record).release();
        return struct_new_instance_from_dict(record, kwargs).release();
    });
}

PyTypeObject* binary_protocol_class() {
    return protocol_class<BinaryTag, ProtocolType::Binary>("BinaryProtocol", "BinaryProtocol()\n--\n\n");
}
PyTypeObject* compact_protocol_class() {
    return protocol_class<CompactTag, ProtocolType::Compact>("CompactProtocol", "CompactProtocol()\n--\n\n");
}
PyTypeObject* json_protocol_class() {
    return protocol_class<JsonTag, ProtocolType::JSON>("JSONProtocol", "JSONProtocol()\n--\n\n");
}

}  // namespace vantrel::py
