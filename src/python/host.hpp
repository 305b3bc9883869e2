// The thin layer between native code and the CPython C API: owned references,
// the error boundary, argument extraction, object boxes with use flags, and
// heap type creation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vantrel::py {

// ---------------------------------------------------------------- references

// One strong reference, released when the holder goes away.
class Ref {
  public:
    Ref() = default;
    static Ref steal(PyObject* o) { return Ref(o); }
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    explicit Ref(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

// Drops a reference from any thread: at once when this thread holds the
// interpreter lock, otherwise the next time a call enters from Python.
void release_anywhere(PyObject* o) noexcept;
void release_pending() noexcept;
extern std::atomic<bool> releases_pending;

// A strong reference that native records shared across threads may hold and
// drop without the interpreter lock.
class SharedRef {
  public:
    SharedRef() = default;
    explicit SharedRef(Ref r) : p_(r.release()) {}
    SharedRef(const SharedRef&) = delete;
    SharedRef& operator=(const SharedRef&) = delete;
    SharedRef(SharedRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~SharedRef() {
        if (p_) release_anywhere(p_);
    }
    PyObject* get() const { return p_; }

  private:
    PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------- errors

// Thrown to unwind to the Python boundary when a Python exception is set.
struct Error {};

[[noreturn]] void raise(PyObject* type, std::string_view message);

// A new reference returned by the C API, or unwind when it reports failure.
inline Ref own(PyObject* result) {
    if (!result) throw Error{};
    return Ref::steal(result);
}
inline void check(int status) {
    if (status < 0) throw Error{};
}

// Runs `body` and turns every native failure into a pending Python exception,
// returning `on_error`. Every entry point from Python goes through here.
template <class R, class F>
R boundary(R on_error, F&& body) noexcept {
    if (releases_pending.load(std::memory_order_relaxed)) release_pending();
    try {
        return body();
    } catch (const Error&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown native error");
    }
    return on_error;
}

// ---------------------------------------------------------------- values

inline Ref str(std::string_view s) { return own(PyUnicode_FromStringAndSize(s.data(), Py_ssize_t(s.size()))); }
inline Ref integer(long long v) { return own(PyLong_FromLongLong(v)); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref new_list(Py_ssize_t size = 0) { return own(PyList_New(size)); }
inline Ref new_dict() { return own(PyDict_New()); }

// Steals `item` into slot `i` of a list made by new_list(size).
inline void list_set(const Ref& list, Py_ssize_t i, Ref item) { PyList_SET_ITEM(list.get(), i, item.release()); }
inline void dict_set(const Ref& dict, const Ref& key, const Ref& value) {
    check(PyDict_SetItem(dict.get(), key.get(), value.get()));
}

// The UTF-8 text of a `str` (valid for the life of the object).
std::string_view utf8(PyObject* s);

// ---------------------------------------------------------------- arguments

// The arguments of a METH_FASTCALL | METH_KEYWORDS call.
struct CallArgs {
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;
};

// One bound argument; its conversions raise a TypeError that names it.
struct Arg {
    PyObject* obj = nullptr;  // borrowed; null when an optional argument was not given
    const char* func = "";
    const char* name = "";

    [[noreturn]] void type_error(const char* expected) const;
    std::string_view str() const;  // `str`, as UTF-8
    PyObject* dict() const;         // `dict` or a subclass
    PyObject* bytes() const;        // `bytes` or a subclass
    long long integer(long long min, long long max) const;  // an `int` within [min, max]
};

// Positional-or-keyword parameters of one callable, the first `required` of
// them mandatory. `func` is how messages name the callable, e.g. "parse()".
template <std::size_t N>
struct Params {
    const char* func;
    std::array<const char*, N> names;
    std::size_t required = N;
};

void bind_into(const char* func, const char* const* names, std::size_t count, std::size_t required,
               const CallArgs& call, Arg* out);

template <std::size_t N>
std::array<Arg, N> bind(const Params<N>& params, const CallArgs& call) {
    std::array<Arg, N> out{};
    bind_into(params.func, params.names.data(), N, params.required, call, out.data());
    return out;
}

// The same for an (args tuple, kwargs dict) call, as constructors receive.
void bind_tuple_into(const char* func, const char* const* names, std::size_t count, std::size_t required,
                     PyObject* args, PyObject* kwargs, Arg* out);

template <std::size_t N>
std::array<Arg, N> bind(const Params<N>& params, PyObject* args, PyObject* kwargs) {
    std::array<Arg, N> out{};
    bind_tuple_into(params.func, params.names.data(), N, params.required, args, kwargs, out.data());
    return out;
}

// A call `f(name, **rest)`: the one parameter, by position or keyword, and
// the other keywords (null when there are none).
struct Leading {
    Arg arg;
    Ref rest;
};
Leading bind_leading(const Params<1>& params, PyObject* args, PyObject* kwargs);

// ---------------------------------------------------------------- objects

// The memory layout of every object of ours: a native value behind the header.
template <class T>
struct Box {
    PyObject_HEAD
    int use;     // > 0: shared users; -1: one exclusive user
    bool alive;  // `value` has been constructed
    T value;
};

// The type object of native value type T, set when the type is created.
template <class T>
inline PyTypeObject* type_object = nullptr;

template <class T>
Box<T>* box(PyObject* o) {
    return reinterpret_cast<Box<T>*>(o);
}
template <class T>
T& value_of(PyObject* o) {
    return box<T>(o)->value;
}
template <class T>
bool is_instance(PyObject* o) {
    return type_object<T> && PyObject_TypeCheck(o, type_object<T>);
}

// A new object of T's type holding T(args...).
template <class T, class... A>
Ref make(A&&... args) {
    PyTypeObject* type = type_object<T>;
    Ref obj = own(type->tp_alloc(type, 0));
    new (&box<T>(obj.get())->value) T(std::forward<A>(args)...);
    box<T>(obj.get())->alive = true;
    return obj;
}

template <class T>
void dealloc(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    if (PyType_IS_GC(type)) PyObject_GC_UnTrack(o);
    if (box<T>(o)->alive) {
        box<T>(o)->alive = false;
        box<T>(o)->value.~T();
    }
    type->tp_free(o);
    Py_DECREF(type);
}

// ---------------------------------------------------------------- use flags

enum class Use : std::uint8_t { Shared, Exclusive };

// Holds a shared or exclusive use of one object for a scope; re-entry that
// conflicts raises RuntimeError instead of touching state that is in use.
class UseGuard {
  public:
    UseGuard(PyObject* o, int& flag, Use use);
    ~UseGuard();
    UseGuard(const UseGuard&) = delete;
    UseGuard& operator=(const UseGuard&) = delete;

  private:
    int& flag_;
    Use use_;
};

template <class T>
UseGuard use(PyObject* o, Use how) {
    return UseGuard(o, box<T>(o)->use, how);
}

// ---------------------------------------------------------------- adapters

namespace detail {
template <class F>
struct SelfOf;
template <class R, class T, class... A>
struct SelfOf<R (*)(T&, A...)> {
    using type = T;
};
}  // namespace detail

// Method without arguments: Ref f(T& self). Use with METH_NOARGS.
template <auto F, Use U = Use::Shared>
PyObject* method_noargs(PyObject* self, PyObject*) {
    using T = typename detail::SelfOf<decltype(F)>::type;
    return boundary<PyObject*>(nullptr, [&] {
        auto guard = use<T>(self, U);
        return F(value_of<T>(self)).release();
    });
}

// Method with arguments: Ref f(T& self, const CallArgs&). Use with
// METH_FASTCALL | METH_KEYWORDS.
template <auto F, Use U = Use::Shared>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using T = typename detail::SelfOf<decltype(F)>::type;
    return boundary<PyObject*>(nullptr, [&] {
        auto guard = use<T>(self, U);
        return F(value_of<T>(self), CallArgs{args, nargs, kwnames}).release();
    });
}

// Static method: Ref f(const CallArgs&). Use with
// METH_FASTCALL | METH_KEYWORDS | METH_STATIC.
template <auto F>
PyObject* static_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary<PyObject*>(nullptr, [&] { return F(CallArgs{args, nargs, kwnames}).release(); });
}

// Read-only attribute or one-argument slot (repr, str, int): Ref f(T& self).
template <auto F, Use U = Use::Shared>
PyObject* getter(PyObject* self, void* = nullptr) {
    return method_noargs<F, U>(self, nullptr);
}
template <auto F, Use U = Use::Shared>
PyObject* unary(PyObject* self) {
    return method_noargs<F, U>(self, nullptr);
}

template <class F>
inline constexpr auto cfunc(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// ---------------------------------------------------------------- types

struct TypeSpec {
    const char* name;  // the bare class name
    const char* doc;   // "Sig(...)\n--\n\ndoc" or null
    std::vector<PyType_Slot> slots;
    unsigned flags = 0;  // added to the defaults
};

PyTypeObject* create_type(const TypeSpec& spec, int basicsize, destructor dealloc);

// Creates T's type on first use; later calls (a second import) return it.
// Objects of ours never outlive their type, and types live for the process.
template <class T>
PyTypeObject* define_type(const TypeSpec& spec) {
    if (!type_object<T>) type_object<T> = create_type(spec, sizeof(Box<T>), &dealloc<T>);
    return type_object<T>;
}

// Adds a class attribute to a type created by define_type.
void set_class_attr(PyTypeObject* type, const char* name, const Ref& value);

}  // namespace vantrel::py
