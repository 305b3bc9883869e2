#include "python/host.hpp"

#include <cstring>
#include <mutex>
#include <vector>

namespace vantrel::py {

std::atomic<bool> releases_pending{false};

namespace {
std::mutex pending_mutex;
std::vector<PyObject*>* pending = new std::vector<PyObject*>();  // never freed: used until exit
}  // namespace

void release_anywhere(PyObject* o) noexcept {
    if (!Py_IsInitialized()) return;  // the interpreter is gone; nothing to give back
    if (PyGILState_Check()) {
        Py_DECREF(o);
        return;
    }
    std::lock_guard lock(pending_mutex);
    pending->push_back(o);
    releases_pending.store(true, std::memory_order_relaxed);
}

void release_pending() noexcept {
    std::vector<PyObject*> batch;
    {
        std::lock_guard lock(pending_mutex);
        batch.swap(*pending);
        releases_pending.store(false, std::memory_order_relaxed);
    }
    for (PyObject* o : batch) Py_DECREF(o);
}

void raise(PyObject* type, std::string_view message) {
    // Through an object, so that messages may hold any text, NUL included.
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace");
    if (text) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    throw Error{};
}

std::string_view utf8(PyObject* s) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s, &size);
    if (!data) throw Error{};
    return {data, std::size_t(size)};
}

// ---------------------------------------------------------------- arguments

void Arg::type_error(const char* expected) const {
    PyErr_Format(PyExc_TypeError, "%s argument '%s' must be %s, not %.200s", func, name, expected,
                 Py_TYPE(obj)->tp_name);
    throw Error{};
}

std::string_view Arg::str() const {
    if (!PyUnicode_Check(obj)) type_error("str");
    return utf8(obj);
}

PyObject* Arg::dict() const {
    if (!PyDict_Check(obj)) type_error("dict");
    return obj;
}

long long Arg::integer(long long min, long long max) const {
    if (!PyLong_Check(obj)) type_error("int");
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) throw Error{};
    if (overflow || v < min || v > max) {
        PyErr_Format(PyExc_OverflowError, "%s argument '%s' out of range (%lld to %lld)", func, name, min, max);
        throw Error{};
    }
    return v;
}

PyObject* Arg::bytes() const {
    if (!PyBytes_Check(obj)) type_error("bytes");
    return obj;
}

void bind_into(const char* func, const char* const* names, std::size_t count, std::size_t required,
               const CallArgs& call, Arg* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = Arg{nullptr, func, names[i]};
    if (std::size_t(call.nargs) > count) {
        PyErr_Format(PyExc_TypeError, "%s takes at most %zu argument%s (%zd given)", func, count,
                     count == 1 ? "" : "s", call.nargs);
        throw Error{};
    }
    for (Py_ssize_t i = 0; i < call.nargs; ++i) out[i].obj = call.args[i];

    Py_ssize_t nkw = call.kwnames ? PyTuple_GET_SIZE(call.kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(call.kwnames, k);
        std::string_view keyword = utf8(key);
        std::size_t i = 0;
        while (i < count && keyword != names[i]) ++i;
        if (i == count) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", func, key);
            throw Error{};
        }
        if (out[i].obj) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", func, names[i]);
            throw Error{};
        }
        out[i].obj = call.args[call.nargs + k];
    }
    for (std::size_t i = 0; i < required; ++i) {
        if (!out[i].obj) {
            PyErr_Format(PyExc_TypeError, "%s missing required argument '%s' (pos %zu)", func, names[i], i + 1);
            throw Error{};
        }
    }
}

void bind_tuple_into(const char* func, const char* const* names, std::size_t count, std::size_t required,
                     PyObject* args, PyObject* kwargs, Arg* out) {
    // Borrowed: the tuple and the dict outlive the call.
    std::vector<PyObject*> values(std::size_t(PyTuple_GET_SIZE(args)));
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = PyTuple_GET_ITEM(args, Py_ssize_t(i));
    Ref kwnames;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = own(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        PyObject *key, *value;
        Py_ssize_t pos = 0, k = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k++, Ref::borrow(key).release());
            values.push_back(value);
        }
    }
    bind_into(func, names, count, required, CallArgs{values.data(), PyTuple_GET_SIZE(args), kwnames.get()}, out);
}

Leading bind_leading(const Params<1>& params, PyObject* args, PyObject* kwargs) {
    const char* name = params.names[0];
    if (PyTuple_GET_SIZE(args) == 0 && kwargs) {
        if (PyObject* named = PyDict_GetItemString(kwargs, name)) {
            Ref rest = own(PyDict_Copy(kwargs));  // keeps the keywords' order
            check(PyDict_DelItemString(rest.get(), name));
            return {Arg{named, params.func, name}, std::move(rest)};
        }
    }
    Arg arg;
    bind_into(params.func, params.names.data(), 1, 1,
              CallArgs{&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), nullptr}, &arg);
    return {arg, Ref::borrow(kwargs)};
}

// ---------------------------------------------------------------- use flags

UseGuard::UseGuard(PyObject* o, int& flag, Use use) : flag_(flag), use_(use) {
    bool busy = use == Use::Exclusive ? flag != 0 : flag < 0;
    if (busy) {
        PyErr_Format(PyExc_RuntimeError, "%.200s object is already in use", Py_TYPE(o)->tp_name);
        throw Error{};
    }
    flag = use == Use::Exclusive ? -1 : flag + 1;
}

UseGuard::~UseGuard() { flag_ = use_ == Use::Exclusive ? 0 : flag_ - 1; }

// ---------------------------------------------------------------- types

PyTypeObject* create_type(const TypeSpec& spec, int basicsize, destructor dealloc) {
    std::vector<PyType_Slot> slots = spec.slots;
    bool has_new = false;
    for (const PyType_Slot& slot : slots) has_new = has_new || slot.slot == Py_tp_new;
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
    if (spec.doc) slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
    slots.push_back({0, nullptr});

    unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | spec.flags;
    if (!has_new) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    // A dotted name gives the type its `__module__`; the name itself stays bare.
    // Types live for the process, and so may the name text CPython keeps.
    const char* qualified = (new std::string(std::string("vantrel.") + spec.name))->c_str();
    PyType_Spec type_spec{qualified, basicsize, 0, flags, slots.data()};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (!type) throw Error{};
    type->tp_name = spec.name;
    return type;
}

void set_class_attr(PyTypeObject* type, const char* name, const Ref& value) {
    check(PyDict_SetItemString(type->tp_dict, name, value.get()));
    PyType_Modified(type);
}

}  // namespace vantrel::py
