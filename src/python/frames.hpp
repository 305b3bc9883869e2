// RPC messages: a call built from keyword arguments, and a reply decoded into
// the call's result or the exception it raises.
#pragma once

#include <string>
#include <vector>

#include "parser/ast.hpp"
#include "protocol/types.hpp"
#include "python/enums.hpp"
#include "python/host.hpp"
#include "python/reader.hpp"
#include "python/schema.hpp"
#include "python/writer.hpp"

namespace vantrel::py {

PyTypeObject* application_exception_class();
// A new ThriftApplicationException (message, type code), to raise.
Ref new_application_exception(std::string_view message, std::int32_t type);

// The call message of a method: one field per supplied keyword argument.
protocol::ByteBuffer build_call_frame(const schema::MethodRecord& method, protocol::MessageType type, std::int32_t seqid,
                                      PyObject* kwargs,
                                      const schema::StructMap* structs, ProtocolType protocol);

// The result of a call from its reply message; raises what the reply says.
Ref decode_reply_bytes(std::string_view reply, const ast::ThriftType& return_type,
                       const std::vector<ast::ThriftField>& exceptions,
                       const std::shared_ptr<const schema::StructMap>& structs, ProtocolType protocol);

namespace frames {

template <class W>
void write_call(protocol::ByteBuffer& buffer, const schema::MethodRecord& method, protocol::MessageType type,
                std::int32_t seqid, PyObject* kwargs, const schema::StructMap* structs) {
    W w(buffer);
    const schema::FieldLayout& names = *method.argument_layout;
    try {
        w.write_message_begin(method.name, std::uint8_t(type), seqid);
        w.write_struct_begin();
        for (std::size_t i = 0; i < method.arguments.size(); ++i) {
            const ast::ThriftField& argument = method.arguments[i];
            PyObject* value = nullptr;
            if (kwargs) {
                value = PyDict_GetItemWithError(kwargs, names.py_names[names.slot_of_field[i]].get());
                if (!value && PyErr_Occurred()) throw Error{};
            }
            if (!value) continue;
            Ref keep = Ref::borrow(value);
            w.write_field_begin(protocol::type_code(argument.field_type.kind), argument.id);
            write_value_with_structs(w, argument.field_type, value, structs, 0);
            w.write_field_end();
        }
        w.write_field_stop();
        if constexpr (!W::message_closes_body) w.write_struct_end();
        w.write_message_end();
    } catch (const protocol::ProtocolError& e) {
        raise(PyExc_OSError, e.display());
    }
}

// "Service exception '{}' (field {}): {}" for a declared exception field.
[[noreturn]] void raise_declared_exception(const std::string& name, std::int16_t id, PyObject* value);

template <class R>
Ref read_application_exception(R& r) {
    std::string message;
    std::int32_t type = 0;
    try {
        if constexpr (!R::message_opens_body) r.read_struct_begin();
        for (;;) {
            protocol::FieldHeader f = r.read_field_begin();
            if (f.type == protocol::TType::Stop) break;
            if (f.id == 1 && f.type == protocol::TType::String)
                message = std::string(r.read_string());
            else if (f.id == 2 && f.type == protocol::TType::I32)
                type = r.read_i32();
            else
                r.skip(f.type);
            r.read_field_end();
        }
    } catch (const protocol::ProtocolError& e) {
        raise(PyExc_OSError, e.to_io().text);
    }
    return new_application_exception(message, type);
}

template <class R>
Ref read_reply(std::string_view reply, const ast::ThriftType& return_type,
               const std::vector<ast::ThriftField>& exceptions,
               const std::shared_ptr<const schema::StructMap>& structs) {
    R r(reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size());
    protocol::FieldHeader f;
    try {
        protocol::MessageHeader header = r.read_message_begin();
        if (header.type == std::uint8_t(protocol::MessageType::Exception)) {
            Ref exception = read_application_exception(r);
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
            throw Error{};
        }
        if constexpr (!R::message_opens_body) r.read_struct_begin();
        f = r.read_field_begin();
    } catch (const protocol::ProtocolError& e) {
        raise(PyExc_OSError, e.display());
    }
    // Only the first field of the result struct is read.
    if (f.type == protocol::TType::Stop) return none();
    if (f.id == 0) return read_value_with_structs(r, return_type, structs);
    for (const ast::ThriftField& declared : exceptions) {
        if (declared.id != f.id) continue;
        Ref value;
        try {
            value = read_value_with_structs(r, declared.field_type, structs);
        } catch (const Error&) {
            PyErr_Clear();
            value = none();
        }
        raise_declared_exception(declared.name, f.id, value.get());
    }
    try {
        r.skip(f.type);
    } catch (const protocol::ProtocolError& e) {
        raise(PyExc_OSError, e.to_io().text);
    }
    raise_declared_exception("unknown", f.id, Py_None);
}

}  // namespace frames

}  // namespace vantrel::py
