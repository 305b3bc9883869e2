#include "python/frames.hpp"

#include <structmember.h>

#include "protocol/binary.hpp"
#include "protocol/compact.hpp"
#include "protocol/json.hpp"

namespace vantrel::py {

// ---------------------------------------------------------------- ThriftApplicationException

namespace {

// An Exception with two read-only members.
struct ApplicationException {
    PyBaseExceptionObject base;
    PyObject* message;
    std::int32_t type;
};

PyTypeObject* application_exception_type = nullptr;

ApplicationException* as_application_exception(PyObject* o) { return reinterpret_cast<ApplicationException*>(o); }

constexpr Params<2> application_exception_params{"ThriftApplicationException()", {"message", "type_"}};

// The message and type code from (message, type_), by position or keyword.
std::pair<PyObject*, std::int32_t> application_exception_args(PyObject* args, PyObject* kwargs) {
    auto [message, type] = bind(application_exception_params, args, kwargs);
    message.str();
    return {message.obj, std::int32_t(type.integer(INT32_MIN, INT32_MAX))};
}

PyObject* application_exception_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return boundary<PyObject*>(nullptr, [&] {
        auto [message, code] = application_exception_args(args, kwargs);
        Ref positional = own(Py_BuildValue("(Oi)", message, code));
        Ref self = own(reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_new(type, positional.get(), nullptr));
        as_application_exception(self.get())->message = Ref::borrow(message).release();
        as_application_exception(self.get())->type = code;
        return self.release();
    });
}

// Keyword construction works too: the arguments become `args` as positions.
int application_exception_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary<int>(-1, [&] {
        auto [message, code] = application_exception_args(args, kwargs);
        Ref positional = own(Py_BuildValue("(Oi)", message, code));
        return reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_init(self, positional.get(), nullptr);
    });
}

PyObject* application_exception_repr(PyObject* self) {
    return boundary<PyObject*>(nullptr, [&] {
        auto* e = as_application_exception(self);
        std::string text = e->message ? std::string(utf8(e->message)) : std::string();
        return str("ThriftApplicationException(type=" + std::to_string(e->type) + ", message=" + ast::quote(text) + ")")
            .release();
    });
}

PyObject* application_exception_str(PyObject* self) {
    PyObject* message = as_application_exception(self)->message;
    return Ref::borrow(message ? message : Py_None).release();
}

int application_exception_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_application_exception(self)->message);
    Py_VISIT(Py_TYPE(self));
    return reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_traverse(self, visit, arg);
}

int application_exception_clear(PyObject* self) {
    Py_CLEAR(as_application_exception(self)->message);
    return reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_clear(self);
}

void application_exception_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_application_exception(self)->message);
    reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_dealloc(self);
    Py_DECREF(type);
}

PyMemberDef application_exception_members[] = {
    {"message", T_OBJECT, offsetof(ApplicationException, message), READONLY, nullptr},
    {"type_", T_INT, offsetof(ApplicationException, type), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

PyTypeObject* application_exception_class() {
    if (application_exception_type) return application_exception_type;
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&application_exception_new)},
        {Py_tp_init, reinterpret_cast<void*>(&application_exception_init)},
        {Py_tp_repr, reinterpret_cast<void*>(&application_exception_repr)},
        {Py_tp_str, reinterpret_cast<void*>(&application_exception_str)},
        {Py_tp_traverse, reinterpret_cast<void*>(&application_exception_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(&application_exception_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&application_exception_dealloc)},
        {Py_tp_members, application_exception_members},
        {Py_tp_doc, const_cast<char*>("ThriftApplicationException(message, type_)\n--\n\n"
                                      "A Thrift application-level exception returned by the remote server.")},
        {0, nullptr},
    };
    PyType_Spec spec{"vantrel.ThriftApplicationException", int(sizeof(ApplicationException)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    Ref bases = own(PyTuple_Pack(1, PyExc_Exception));
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpecWithBases(&spec, bases.get()));
    if (!type) throw Error{};
    type->tp_name = "ThriftApplicationException";
    application_exception_type = type;
    return type;
}

Ref new_application_exception(std::string_view message, std::int32_t type) {
    Ref args = own(Py_BuildValue("(s#i)", message.data(), Py_ssize_t(message.size()), type));
    return own(PyObject_Call(reinterpret_cast<PyObject*>(application_exception_class()), args.get(), nullptr));
}

// ---------------------------------------------------------------- call frames

namespace frames {

void raise_declared_exception(const std::string& name, std::int16_t id, PyObject* value) {
    std::string text;
    if (PyObject* repr = PyObject_Repr(value)) {
        Ref held = Ref::steal(repr);
        if (PyObject* s = PyObject_Str(repr)) {
            Ref s_held = Ref::steal(s);
            Py_ssize_t size = 0;
            if (const char* data = PyUnicode_AsUTF8AndSize(s, &size)) text.assign(data, std::size_t(size));
        }
    }
    PyErr_Clear();
    raise(PyExc_RuntimeError,
          "Service exception '" + name + "' (field " + std::to_string(id) + "): " + ast::quote(text));
}

}  // namespace frames

protocol::ByteBuffer build_call_frame(const schema::MethodRecord& method, protocol::MessageType type, std::int32_t seqid,
                                      PyObject* kwargs,
                                      const schema::StructMap* structs, ProtocolType protocol) {
    protocol::ByteBuffer buffer(256);
    switch (protocol) {
        case ProtocolType::Binary:
            frames::write_call<protocol::BinaryWriter>(buffer, method, type, seqid, kwargs, structs);
            break;
        case ProtocolType::Compact:
            frames::write_call<protocol::CompactWriter>(buffer, method, type, seqid, kwargs, structs);
            break;
        case ProtocolType::JSON:
            frames::write_call<protocol::JsonWriter>(buffer, method, type, seqid, kwargs, structs);
            break;
    }
    return buffer;
}

Ref decode_reply_bytes(std::string_view reply, const ast::ThriftType& return_type,
                       const std::vector<ast::ThriftField>& exceptions,
                       const std::shared_ptr<const schema::StructMap>& structs, ProtocolType protocol) {
    switch (protocol) {
        case ProtocolType::Binary:
            return frames::read_reply<protocol::BinaryReader>(reply, return_type, exceptions, structs);
        case ProtocolType::Compact:
            return frames::read_reply<protocol::CompactReader>(reply, return_type, exceptions, structs);
        case ProtocolType::JSON:
            return frames::read_reply<protocol::JsonReader>(reply, return_type, exceptions, structs);
    }
    raise(PyExc_ValueError, "unknown protocol");
}

}  // namespace vantrel::py
