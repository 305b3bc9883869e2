// Conversions between Python objects and value trees, and the typed
// extractions that the writer shares with them.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "parser/ast.hpp"
#include "protocol/types.hpp"
#include "python/host.hpp"
#include "python/schema.hpp"

namespace vantrel::py {

// ---------------------------------------------------------------- extraction

// TypeError "'{}' object is not an instance of '{}'".
[[noreturn]] void not_instance(PyObject* obj, const char* required);
// ValueError for data nested deeper than the limit.
[[noreturn]] void too_deep();
[[noreturn]] void integer_out_of_range();

inline void enter(int& depth) {
    if (++depth > protocol::max_depth) too_deep();
}

inline bool extract_bool(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    not_instance(obj, "bool");
}

// An int (or __index__ object) within the width of T; the host's errors for
// non-integers and values beyond 64 bits.
template <class T>
T extract_int(PyObject* obj) {
    long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) throw Error{};
    if constexpr (!std::is_same_v<T, std::int64_t>) {
        if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) integer_out_of_range();
    }
    return static_cast<T>(v);
}

inline double extract_double(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) throw Error{};
    return v;
}

// The UTF-8 text of a `str` (or subclass).
inline std::string_view extract_str(PyObject* obj) {
    if (!PyUnicode_Check(obj)) not_instance(obj, "str");
    return utf8(obj);
}

// A non-str sequence of integers 0..255. `bytes` and `bytearray` are viewed in
// place; other sequences are collected into `storage`.
std::string_view extract_bytes(PyObject* obj, std::string& storage);

// ---------------------------------------------------------------- conversions

using schema::StructMap;

// No declared type: bool, int, float, str, byte sequences, lists, dicts and
// instances.
ast::ThriftValue py_any_to_thrift_value(PyObject* obj, int depth = 0);

// A declared type; nested struct names resolve through `structs` (may be null).
ast::ThriftValue py_to_thrift_value_typed(PyObject* obj, const ast::ThriftType& type, const StructMap* structs,
                                          int depth = 0);

// Python object of a value; struct values become lazy instances sharing `structs`.
Ref thrift_value_to_py(const ast::ThriftValue& value, const std::shared_ptr<const StructMap>& structs, int depth = 0);

}  // namespace vantrel::py
