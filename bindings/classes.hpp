// The machinery every class of the module is declared with. A class is a
// core value held inside a Python object; its members are plain functions of
// that value, declared once in a table:
//
//   Class<EndSlopes>("EndSlopes", doc)
//       .static_method<"clamped", clamped, "left", "right">(doc)
//       .value_comparison()
//       .create();
//
// Arguments are bound, converted (with the note naming the parameter on any
// failure), handed to the function, and its result converted back.
#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "buffer.hpp"
#include "errors.hpp"
#include "python.hpp"

namespace velarix::py {

// A string usable as a template argument.
template <std::size_t N>
struct Name {
  char text[N];
  constexpr Name(const char (&s)[N]) { std::copy_n(s, N, text); }
  constexpr const char* c_str() const { return text; }
};

// ---------------------------------------------------------------------------
// The object layout and the registry of class objects.

template <class T>
struct Box {
  PyObject ob_base;
  T value;
};

template <class T>
struct Registry {
  // Created once per process, on the first import; later imports reuse it.
  static inline PyTypeObject* type = nullptr;
  static inline const char* name = nullptr;
};

template <class T>
T& unbox(PyObject* object) {
  return reinterpret_cast<Box<T>*>(object)->value;
}

template <class T>
bool is_instance(PyObject* object) {
  return Registry<T>::type != nullptr && PyObject_TypeCheck(object, Registry<T>::type);
}

// A new Python object holding `value`.
template <class T>
PyObject* wrap(T value) {
  PyTypeObject* type = Registry<T>::type;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* object = alloc(type, 0);
  if (object == nullptr) return nullptr;
  new (&reinterpret_cast<Box<T>*>(object)->value) T(std::move(value));
  return object;
}

template <class T>
void dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  unbox<T>(object).~T();
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(object);
  Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Python to C++. Each converter returns nothing, with the exception set, when
// the object cannot be converted.

template <class T>
struct From;

template <>
struct From<double> {
  static std::optional<double> convert(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
    return value;
  }
};

// A count: an int, or an object with __index__, in 0 .. 2**64 - 1.
template <>
struct From<std::uint64_t> {
  static std::optional<std::uint64_t> convert(PyObject* object) {
    Ref index(PyNumber_Index(object));
    if (!index) return std::nullopt;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
    return static_cast<std::uint64_t>(value);
  }
};

// A small signed int, or an object with __index__ (out of range is an
// OverflowError).
template <>
struct From<int> {
  static std::optional<int> convert(PyObject* object) {
    Ref index(PyNumber_Index(object));
    if (!index) return std::nullopt;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow != 0 || value < INT_MIN || value > INT_MAX) {
      PyErr_SetString(PyExc_OverflowError, "int too large");
      return std::nullopt;
    }
    return static_cast<int>(value);
  }
};

// A flag: True or False only (an int or any other truthy object is a
// TypeError, so that a count passed by mistake is not taken for a switch).
template <>
struct From<bool> {
  static std::optional<bool> convert(PyObject* object) {
    if (!PyBool_Check(object)) {
      Ref name(PyType_GetQualName(Py_TYPE(object)));
      if (!name) return std::nullopt;
      PyErr_Format(PyExc_TypeError, "expected bool, got '%U'", name.get());
      return std::nullopt;
    }
    return object == Py_True;
  }
};

// A str, as UTF-8 (any other type is a TypeError).
template <>
struct From<std::string> {
  static std::optional<std::string> convert(PyObject* object) {
    if (!PyUnicode_Check(object)) {
      Ref name(PyType_GetQualName(Py_TYPE(object)));
      if (!name) return std::nullopt;
      PyErr_Format(PyExc_TypeError, "expected str, got '%U'", name.get());
      return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return std::nullopt;
    return std::string(data, static_cast<std::size_t>(size));
  }
};

// The contents of a bytes object, copied.
struct ByteString {
  std::vector<std::byte> bytes;
};

template <>
struct From<ByteString> {
  static std::optional<ByteString> convert(PyObject* object) {
    if (!PyBytes_Check(object)) {
      Ref name(PyType_GetQualName(Py_TYPE(object)));
      if (!name) return std::nullopt;
      PyErr_Format(PyExc_TypeError, "expected bytes, got '%U'", name.get());
      return std::nullopt;
    }
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(object, &data, &size) != 0) return std::nullopt;
    const auto* first = reinterpret_cast<const std::byte*>(data);
    return ByteString{std::vector<std::byte>(first, first + size)};
  }
};

template <>
struct From<Float64Buffer> {
  static std::optional<Float64Buffer> convert(PyObject* object) {
    return Float64Buffer::accept(object);
  }
};

// An instance of one of the module's classes, as a copy of its value.
template <class T>
struct From {
  static std::optional<T> convert(PyObject* object) {
    if (is_instance<T>(object)) return unbox<T>(object);
    if (object == Py_None) {
      PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", Registry<T>::name);
    } else {
      Ref name(PyType_GetQualName(Py_TYPE(object)));
      if (!name) return std::nullopt;
      PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(),
                   Registry<T>::name);
    }
    return std::nullopt;
  }
};

// ---------------------------------------------------------------------------
// C++ to Python: a new reference, or nullptr with the exception set.

inline PyObject* to_python(PyObject* object) { return object; }
inline PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
inline PyObject* to_python(bool flag) { return PyBool_FromLong(flag ? 1 : 0); }
inline PyObject* to_python(std::uint64_t count) { return PyLong_FromUnsignedLongLong(count); }
inline PyObject* to_python(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}
inline PyObject* to_python(std::optional<double> value) {
  if (!value) Py_RETURN_NONE;
  return to_python(*value);
}
inline PyObject* to_python(std::pair<double, double> pair) {
  return Py_BuildValue("(dd)", pair.first, pair.second);
}
PyObject* to_python(std::span<const double> values);  // a new list of floats
inline PyObject* to_python(const std::vector<std::byte>& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

inline PyObject* to_python(const std::vector<double>& values) {
  return to_python(std::span<const double>(values));
}

// A value of one of the module's classes, in a new object of that class.
template <class T>
  requires requires(const T& value) { value.debug_text(); }
PyObject* to_python(T value) {
  return wrap<T>(std::move(value));
}

template <class T>
PyObject* to_python(Result<T> result) {
  if (!result.ok()) return invalid(result.error());
  return to_python(std::move(result).value());
}

// ---------------------------------------------------------------------------
// Calling a declared function with bound and converted arguments.

template <class F>
struct Signature;

template <class R, class... A>
struct Signature<R (*)(A...)> {
  using Result = R;
  using Args = std::tuple<std::decay_t<A>...>;
};

template <class Tuple, std::size_t... I>
std::optional<Tuple> convert_all([[maybe_unused]] std::span<PyObject*> slots,
                                 [[maybe_unused]] std::span<const char* const> names,
                                 std::index_sequence<I...>) {
  std::tuple<std::optional<std::tuple_element_t<I, Tuple>>...> converted;
  bool ok = true;
  // Converted left to right; the first failure stops the rest.
  ((ok = ok && [&] {
     auto& slot = std::get<I>(converted);
     slot = From<std::tuple_element_t<I, Tuple>>::convert(slots[I]);
     if (!slot) note_parameter(names[I]);
     return slot.has_value();
   }()),
   ...);
  if (!ok) return std::nullopt;
  return Tuple(std::move(*std::get<I>(converted))...);
}

// The argument types of `Tuple` after the first `Skip`.
template <std::size_t Skip, class Tuple, class = std::make_index_sequence<std::tuple_size_v<Tuple> - Skip>>
struct Drop;
template <std::size_t Skip, class Tuple, std::size_t... I>
struct Drop<Skip, Tuple, std::index_sequence<I...>> {
  using type = std::tuple<std::tuple_element_t<I + Skip, Tuple>...>;
};

// Runs `Impl` on `leading` (the receiver, if any) and the converted
// arguments, and converts its result.
template <auto Impl, class... Leading>
PyObject* invoke(std::span<PyObject*> slots, std::span<const char* const> names,
                 const Leading&... leading) {
  using Sig = Signature<decltype(Impl)>;
  using Rest = typename Drop<sizeof...(Leading), typename Sig::Args>::type;
  auto args = convert_all<Rest>(slots, names,
                                std::make_index_sequence<std::tuple_size_v<Rest>>{});
  if (!args) return nullptr;
  return guarded([&]() -> PyObject* {
    auto call = [&](auto&&... rest) -> decltype(auto) {
      return Impl(leading..., std::move(rest)...);
    };
    if constexpr (std::is_void_v<typename Sig::Result>) {
      std::apply(call, std::move(*args));
      Py_RETURN_NONE;
    } else {
      return to_python(std::apply(call, std::move(*args)));
    }
  });
}

template <auto... Names>
inline constexpr const char* parameter_names[sizeof...(Names) + 1] = {Names.c_str()..., nullptr};

template <class T, bool Static, Name Method, auto Impl, Name... Params>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  // Binding and converting allocate too (messages, buffer views), so the
  // whole entry is guarded, not only the call.
  return guarded([&]() -> PyObject* {
    constexpr std::size_t n = sizeof...(Params);
    const std::span<const char* const> names(parameter_names<Params...>, n);
    PyObject* slots[n + 1] = {};
    const Callable callable{Registry<T>::name, Method.c_str()};
    // Every argument by position, none by keyword: the slots are the
    // arguments themselves, and binding (with its name matching) is skipped.
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == n) {
      std::copy_n(args, n, slots);
    } else if (!bind_arguments(callable, names, args, nargs, kwnames, {slots, n})) {
      return nullptr;
    }
    if constexpr (Static) {
      return invoke<Impl>({slots, n}, names);
    } else {
      return invoke<Impl>({slots, n}, names, unbox<T>(self));
    }
  });
}

// Plain fields of a configuration, read by a property or replaced by a
// builder that returns a changed copy.
template <auto Field>
struct FieldOf;
template <class C, class V, V C::*Field>
struct FieldOf<Field> {
  using Owner = C;
  using Value = V;
};

template <auto Field>
typename FieldOf<Field>::Value read_field(const typename FieldOf<Field>::Owner& owner) {
  return owner.*Field;
}

template <auto Field>
typename FieldOf<Field>::Owner with_field(typename FieldOf<Field>::Owner owner,
                                          typename FieldOf<Field>::Value value) {
  owner.*Field = std::move(value);
  return owner;
}

template <class T, auto Impl>
PyObject* getter_entry(PyObject* self, void*) {
  return guarded([&] { return to_python(Impl(unbox<T>(self))); });
}

template <class T>
PyObject* repr_entry(PyObject* self) {
  return guarded([&] { return to_python(unbox<T>(self).debug_text()); });
}

// Value comparison: == and != against an instance of the same class only.
template <class T>
PyObject* compare_entry(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !is_instance<T>(other)) Py_RETURN_NOTIMPLEMENTED;
  const bool equal = unbox<T>(self) == unbox<T>(other);
  return to_python(op == Py_EQ ? equal : !equal);
}

// Class(): no arguments, the default value.
template <class T>
PyObject* new_default_entry(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  if (PyTuple_Size(args) != 0 || (kwargs != nullptr && PyDict_Size(kwargs) != 0)) {
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments", Registry<T>::name);
    return nullptr;
  }
  return guarded([] { return wrap<T>(T{}); });
}

template <class T, auto Impl, Name Param>
PyObject* call_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const char* const names[] = {Param.c_str()};
    PyObject* slots[1] = {};
    // spl(x) with one positional float is what scalar loops call: it goes
    // straight to the evaluation, which cannot fail, with no binding or
    // conversion step. Anything else is bound and converted in full.
    if (kwargs == nullptr && PyTuple_Size(args) == 1) {
      slots[0] = PyTuple_GetItem(args, 0);
      if constexpr (std::is_same_v<typename Signature<decltype(Impl)>::Args,
                                   std::tuple<T, double>>) {
        if (PyFloat_CheckExact(slots[0])) {
          return PyFloat_FromDouble(Impl(unbox<T>(self), PyFloat_AsDouble(slots[0])));
        }
      }
      return invoke<Impl>(slots, names, unbox<T>(self));
    }
    const Callable callable{Registry<T>::name, "__call__"};
    if (!bind_arguments(callable, names, args, kwargs, slots)) return nullptr;
    return invoke<Impl>(slots, names, unbox<T>(self));
  });
}

// Pickling: __reduce__ gives (velarix._restore, (class name, state bytes)),
// and velarix._restore hands the bytes to the class's _from_state, which
// validates them. The extension has no module-level function of its own, so
// the reconstructor lives in the package.
template <class T, auto Save>
PyObject* reduce_entry(PyObject* self, PyObject*) {
  Ref package(PyImport_ImportModule("velarix"));
  if (!package) return nullptr;
  Ref restore(PyObject_GetAttrString(package.get(), "_restore"));
  if (!restore) return nullptr;
  Ref state(guarded([&] { return to_python(Save(unbox<T>(self))); }));
  if (!state) return nullptr;
  return Py_BuildValue("(O(sO))", restore.get(), Registry<T>::name, state.get());
}

template <class T, auto Load>
Result<T> from_state(ByteString state) {
  return Load(std::span<const std::byte>(state.bytes));
}

// Every object of the module is immutable, so a copy, shallow or deep, is
// the object itself.
inline PyObject* copy_entry(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

// ---------------------------------------------------------------------------
// Declaring a class.

// Docstrings live as long as the process: the type objects point at them.
const char* keep(std::string text);

// The docstrings of a field's property and of the builder that replaces it.
std::string field_doc(const char* name);
std::string builder_doc(const char* param);

// "name($self, a, b)\n--\n\n" followed by `doc`.
std::string signature_doc(const char* name, bool is_static,
                          std::span<const char* const> params, const char* doc);

template <class T>
class Class {
 public:
  // `doc` is the class docstring, a text signature first where it has one.
  Class(const char* name, const char* doc) : name_(name), doc_(doc) {
    Registry<T>::name = name;
  }

  template <Name Method, auto Impl, Name... Params>
  Class& method(const char* doc = nullptr) {
    return add_method<false, Method, Impl, Params...>(doc);
  }

  template <Name Method, auto Impl, Name... Params>
  Class& static_method(const char* doc) {
    return add_method<true, Method, Impl, Params...>(doc);
  }

  template <auto Impl>
  Class& property(const char* name, const char* doc = nullptr) {
    getters_.push_back(PyGetSetDef{name, &getter_entry<T, Impl>, nullptr, doc, nullptr});
    return *this;
  }

  // A property that reads one field; without a docstring of its own it
  // says which setting it reads.
  template <auto Field>
  Class& field(const char* name, const char* doc = nullptr) {
    return property<&read_field<Field>>(name, doc != nullptr ? doc : keep(field_doc(name)));
  }

  // A builder that replaces one field: `Method(Param)`; without a docstring
  // of its own it says what it returns and when the value is checked.
  template <Name Method, auto Field, Name Param>
  Class& builder(const char* doc = nullptr) {
    return method<Method, &with_field<Field>, Param>(
        doc != nullptr ? doc : keep(builder_doc(Param.c_str())));
  }

  template <auto Impl, Name Param>
  Class& callable() {
    slots_.push_back({Py_tp_call, reinterpret_cast<void*>(&call_entry<T, Impl, Param>)});
    return *this;
  }

  // pickle (any protocol), copy.copy and copy.deepcopy. `Save` turns the
  // value into bytes; `Load` turns bytes back into a Result<T>, refusing a
  // state it cannot trust with an Error (a ValueError in Python).
  template <auto Save, auto Load>
  Class& picklable() {
    methods_.push_back(PyMethodDef{"__reduce__", &reduce_entry<T, Save>, METH_NOARGS,
                                   "Helper for pickle."});
    methods_.push_back(PyMethodDef{"__copy__", &copy_entry, METH_NOARGS,
                                   "The object itself: it is immutable."});
    methods_.push_back(PyMethodDef{"__deepcopy__", &copy_entry, METH_O,
                                   "The object itself: it is immutable."});
    return static_method<"_from_state", &from_state<T, Load>, "state">(
        "The object saved in `state` (from __reduce__); ValueError if the state is "
        "truncated, tampered with or of another class.");
  }

  Class& value_comparison() {
    slots_.push_back({Py_tp_richcompare, reinterpret_cast<void*>(&compare_entry<T>)});
    return *this;
  }

  Class& default_constructible() {
    constructible_ = true;
    slots_.push_back({Py_tp_new, reinterpret_cast<void*>(&new_default_entry<T>)});
    return *this;
  }

  // The class object, created on the first call and reused afterwards.
  PyTypeObject* create() {
    if (Registry<T>::type != nullptr) return Registry<T>::type;
    // The type points into both tables for the rest of the process, so they
    // are statics of this class (one pair per T), owned and never lost.
    static std::vector<PyMethodDef> method_table;
    static std::vector<PyGetSetDef> getter_table;
    method_table = methods_;
    method_table.push_back({nullptr, nullptr, 0, nullptr});
    getter_table = getters_;
    getter_table.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    std::vector<PyMethodDef>* methods = &method_table;
    std::vector<PyGetSetDef>* getters = &getter_table;
    std::vector<PyType_Slot> slots = slots_;
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<T>)});
    slots.push_back({Py_tp_repr, reinterpret_cast<void*>(&repr_entry<T>)});
    slots.push_back({Py_tp_doc, const_cast<char*>(doc_)});
    slots.push_back({Py_tp_methods, methods->data()});
    slots.push_back({Py_tp_getset, getters->data()});
    slots.push_back({0, nullptr});
    const std::string full_name = std::string("velarix.") + name_;
    unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    if (!constructible_) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    PyType_Spec spec{keep(full_name), static_cast<int>(sizeof(Box<T>)), 0, flags,
                     slots.data()};
    Registry<T>::type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return Registry<T>::type;
  }

 private:
  template <bool Static, Name Method, auto Impl, Name... Params>
  Class& add_method(const char* doc) {
    const std::span<const char* const> params(parameter_names<Params...>, sizeof...(Params));
    const int flags = METH_FASTCALL | METH_KEYWORDS | (Static ? METH_STATIC : 0);
    methods_.push_back(PyMethodDef{
        Method.c_str(),
        reinterpret_cast<PyCFunction>(
            reinterpret_cast<void (*)()>(&method_entry<T, Static, Method, Impl, Params...>)),
        flags, keep(signature_doc(Method.c_str(), Static, params, doc))});
    return *this;
  }

  const char* name_;
  const char* doc_;
  bool constructible_ = false;
  std::vector<PyMethodDef> methods_;
  std::vector<PyGetSetDef> getters_;
  std::vector<PyType_Slot> slots_;
};

}  // namespace velarix::py
