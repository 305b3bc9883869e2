#include "python/enums.hpp"

#include <array>
#include <string>

namespace vantrel::py {
namespace {

// Native layouts of the two classes; distinct types keep their type objects apart.
struct ProtocolTypeValue {
    ProtocolType value;
};
struct TransportTypeValue {
    TransportType value;
};

constexpr std::array<const char*, 3> protocol_names{"Binary", "Compact", "JSON"};
constexpr std::array<const char*, 2> transport_names{"Framed", "Buffered"};

// Held for the life of the process, like the types themselves.
std::array<PyObject*, protocol_names.size()> protocol_members{};
std::array<PyObject*, transport_names.size()> transport_members{};

Ref protocol_repr(ProtocolTypeValue& self) {
    return str(std::string("ProtocolType.") + protocol_names[std::size_t(self.value)]);
}
Ref protocol_int(ProtocolTypeValue& self) { return integer(int(self.value)); }

Ref transport_repr(TransportTypeValue& self) {
    return str(std::string("TransportType.") + transport_names[std::size_t(self.value)]);
}
Ref transport_int(TransportTypeValue& self) { return integer(int(self.value)); }

PyObject* transport_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return boundary<PyObject*>(nullptr, [&] {
        if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0))
            raise(PyExc_TypeError, "TransportType() takes no arguments");
        // A fresh object: equal to TransportType.Framed, not identical to it.
        return make<TransportTypeValue>(TransportType::Framed).release();
    });
}

// Equality by integer value with members and with anything that converts to
// an int; everything else is left to Python.
PyObject* transport_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    long long mine = (long long)value_of<TransportTypeValue>(self).value;
    long long theirs = 0;
    if (is_instance<TransportTypeValue>(other)) {
        theirs = (long long)value_of<TransportTypeValue>(other).value;
    } else {
        PyObject* index = PyNumber_Index(other);
        if (!index) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        int overflow = 0;
        theirs = PyLong_AsLongLongAndOverflow(index, &overflow);
        Py_DECREF(index);
        if (overflow) theirs = -1;  // equal to no member
    }
    return PyBool_FromLong((mine == theirs) == (op == Py_EQ));
}

template <class T, class E, std::size_t N>
void add_members(PyTypeObject* type, std::array<PyObject*, N>& members, const std::array<const char*, N>& names) {
    for (std::size_t i = 0; i < N; ++i) {
        if (!members[i]) members[i] = make<T>(E(i)).release();
        set_class_attr(type, names[i], Ref::borrow(members[i]));
    }
}

}  // namespace

PyTypeObject* protocol_type_class() {
    PyTypeObject* type = define_type<ProtocolTypeValue>({
        "ProtocolType",
        nullptr,
        {{Py_tp_repr, reinterpret_cast<void*>(&unary<&protocol_repr>)},
         {Py_tp_str, reinterpret_cast<void*>(&unary<&protocol_repr>)},
         {Py_nb_int, reinterpret_cast<void*>(&unary<&protocol_int>)}},
    });
    add_members<ProtocolTypeValue, ProtocolType>(type, protocol_members, protocol_names);
    return type;
}

PyTypeObject* transport_type_class() {
    PyTypeObject* type = define_type<TransportTypeValue>({
        "TransportType",
        "TransportType()\n--\n\n"
        "Transport layer to use when reading/writing Thrift messages over TCP.\n"
        "\n"
        "* `Framed`   \u2013 each message is prefixed by a 4-byte big-endian frame length.\n"
        "* `Buffered` \u2013 messages are written directly to the socket with no framing.",
        {{Py_tp_new, reinterpret_cast<void*>(&transport_new)},
         {Py_tp_repr, reinterpret_cast<void*>(&unary<&transport_repr>)},
         {Py_tp_str, reinterpret_cast<void*>(&unary<&transport_repr>)},
         {Py_tp_richcompare, reinterpret_cast<void*>(&transport_richcompare)},
         {Py_nb_int, reinterpret_cast<void*>(&unary<&transport_int>)}},
    });
    add_members<TransportTypeValue, TransportType>(type, transport_members, transport_names);
    return type;
}

Ref to_python(ProtocolType value) { return Ref::borrow(protocol_members[std::size_t(value)]); }
Ref to_python(TransportType value) { return Ref::borrow(transport_members[std::size_t(value)]); }

ProtocolType protocol_arg(const Arg& arg) {
    if (!is_instance<ProtocolTypeValue>(arg.obj)) arg.type_error("ProtocolType");
    return value_of<ProtocolTypeValue>(arg.obj).value;
}

TransportType transport_arg(const Arg& arg) {
    if (!is_instance<TransportTypeValue>(arg.obj)) arg.type_error("TransportType");
    return value_of<TransportTypeValue>(arg.obj).value;
}

}  // namespace vantrel::py
