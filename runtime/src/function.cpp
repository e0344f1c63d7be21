// The function object: a Python-callable with a real signature that binds as a method.
#include "ravn/function.hpp"

#include <structmember.h>

#include "frame.hpp"
#include "ravn/errors.hpp"

#include <cstddef>
#include <string>

namespace ravn::rt {

namespace {

enum class Check { none, integer, text };

struct ParamInfo {
  py::str name;
  py::object default_;  // empty: required
  Check check = Check::none;
  bool keyword_only = false;
};

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* dict;
  PyObject* weakrefs;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* signature;
  PyObject* annotations;
  PyObject* defaults;
  PyObject* kwdefaults;
  Globals* globals;
  std::vector<ParamInfo>* params;
  std::size_t positional;  // parameters that can be passed by position
  Trampoline call;
};

PyTypeObject* g_function_type = nullptr;

FunctionObject* as_fn(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// Python's own wording: 'a', 'a' and 'b', 'a', 'b', and 'c'.
std::string name_list(const std::vector<std::string>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'" + names[i] + "'";
  }
  return out;
}

const char* type_name(Check check) { return check == Check::integer ? "int" : "str"; }

// Parameters annotated int accept an int as it is and any other number through int();
// parameters annotated str accept exactly a str.
PyObject* checked(const ParamInfo& p, PyObject* value) {
  if (p.check == Check::integer) {
    if (PyLong_Check(value)) return Py_NewRef(value);
    if (PyNumber_Check(value) && !PyUnicode_Check(value)) return PyNumber_Long(value);
  } else if (p.check == Check::text) {
    if (PyUnicode_CheckExact(value)) return Py_NewRef(value);
  }
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
               PyUnicode_AsUTF8(p.name.ptr()), type_name(p.check), Py_TYPE(value)->tp_name);
  return nullptr;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  FunctionObject* fn = as_fn(self);
  const std::vector<ParamInfo>& params = *fn->params;
  const std::size_t n = params.size();
  const std::size_t nargs = PyVectorcall_NARGS(nargsf);

  // The usual call: every parameter by position, each already of its checked type.
  // The caller's references serve for the duration of the call.
  if (!kwnames && nargs == n && n == fn->positional) {
    bool as_given = true;
    for (std::size_t i = 0; i < n && as_given; ++i) {
      const Check check = params[i].check;
      as_given =
          check == Check::none || (check == Check::integer ? PyLong_Check(args[i]) : PyUnicode_CheckExact(args[i]));
    }
    if (as_given) return fn->call(self, args);
  }

  // Owned references, in parameter order; on the stack for the usual few parameters.
  PyObject* small[16] = {};
  std::vector<PyObject*> large;
  if (n > 16) large.assign(n, nullptr);
  PyObject** bound = n > 16 ? large.data() : small;
  auto release = [bound, n] {
    for (std::size_t i = 0; i < n; ++i) Py_XDECREF(bound[i]);
  };
  for (std::size_t i = 0; i < nargs && i < fn->positional; ++i) bound[i] = Py_NewRef(args[i]);

  // Keywords are bound before surplus positionals are reported, as the interpreter does.
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t index = n;
    for (std::size_t i = 0; i < n && index == n; ++i) {
      if (params[i].name.ptr() == key) index = i;
    }
    for (std::size_t i = 0; i < n && index == n; ++i) {
      int eq = PyUnicode_Compare(params[i].name.ptr(), key);
      if (eq == 0) index = i;
    }
    if (index == n) {
      PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", fn->qualname, key);
      release();
      return nullptr;
    }
    if (bound[index]) {
      PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", fn->qualname, key);
      release();
      return nullptr;
    }
    bound[index] = Py_NewRef(args[nargs + k]);
  }

  if (nargs > fn->positional) {
    std::size_t required = 0;
    for (std::size_t i = 0; i < fn->positional; ++i) required += params[i].default_ ? 0 : 1;
    const std::size_t most = fn->positional;
    std::size_t keyword_only_given = 0;
    for (std::size_t i = most; i < n; ++i) keyword_only_given += bound[i] ? 1 : 0;
    std::string given = std::to_string(nargs);
    if (keyword_only_given) {
      given += std::string(" positional argument") + (nargs == 1 ? "" : "s") + " (and " +
               std::to_string(keyword_only_given) + " keyword-only argument" + (keyword_only_given == 1 ? "" : "s") +
               ")";
    }
    const char* verb = nargs == 1 && !keyword_only_given ? "was" : "were";
    if (required == most) {
      PyErr_Format(PyExc_TypeError, "%U() takes %zu positional argument%s but %s %s given", fn->qualname, most,
                   most == 1 ? "" : "s", given.c_str(), verb);
    } else {
      PyErr_Format(PyExc_TypeError, "%U() takes from %zu to %zu positional arguments but %s %s given", fn->qualname,
                   required, most, given.c_str(), verb);
    }
    release();
    return nullptr;
  }

  std::vector<std::string> missing_positional, missing_keyword;
  for (std::size_t i = 0; i < n; ++i) {
    if (bound[i]) continue;
    if (params[i].default_) {
      bound[i] = Py_NewRef(params[i].default_.ptr());
    } else {
      (params[i].keyword_only ? missing_keyword : missing_positional).push_back(PyUnicode_AsUTF8(params[i].name.ptr()));
    }
  }
  if (!missing_positional.empty() || !missing_keyword.empty()) {
    const bool positional = !missing_positional.empty();
    const auto& names = positional ? missing_positional : missing_keyword;
    PyErr_Format(PyExc_TypeError, "%U() missing %zu required %s argument%s: %s", fn->qualname, names.size(),
                 positional ? "positional" : "keyword-only", names.size() == 1 ? "" : "s", name_list(names).c_str());
    release();
    return nullptr;
  }

  for (std::size_t i = 0; i < n; ++i) {
    if (params[i].check == Check::none) continue;
    PyObject* converted = checked(params[i], bound[i]);
    if (!converted) {
      release();
      return nullptr;
    }
    Py_SETREF(bound[i], converted);
  }

  PyObject* result = fn->call(self, bound);
  release();
  return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* fn = as_fn(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(fn->dict);
  Py_VISIT(fn->module);
  Py_VISIT(fn->doc);
  Py_VISIT(fn->signature);
  Py_VISIT(fn->annotations);
  Py_VISIT(fn->defaults);
  Py_VISIT(fn->kwdefaults);
  if (fn->globals) Py_VISIT(fn->globals->dict().ptr());
  if (fn->params) {
    for (const ParamInfo& p : *fn->params) Py_VISIT(p.default_.ptr());
  }
  return 0;
}

int function_clear(PyObject* self) {
  FunctionObject* fn = as_fn(self);
  Py_CLEAR(fn->dict);
  Py_CLEAR(fn->signature);
  Py_CLEAR(fn->annotations);
  Py_CLEAR(fn->defaults);
  Py_CLEAR(fn->kwdefaults);
  return 0;
}

void function_dealloc(PyObject* self) {
  FunctionObject* fn = as_fn(self);
  PyObject_GC_UnTrack(self);
  if (fn->weakrefs) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(fn->name);
  Py_CLEAR(fn->qualname);
  Py_CLEAR(fn->module);
  Py_CLEAR(fn->doc);
  delete fn->globals;
  delete fn->params;
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_fn(self)->globals->dict().ptr()); }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_fn(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
  return engine::set_name_attribute(&as_fn(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_fn(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
  return engine::set_name_attribute(&as_fn(self)->qualname, value, "__qualname__");
}

// As on Python's functions: a dict, and a fresh empty one after deletion.
PyObject* get_annotations(PyObject* self, void*) {
  FunctionObject* fn = as_fn(self);
  if (!fn->annotations) fn->annotations = PyDict_New();
  return Py_XNewRef(fn->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(as_fn(self)->annotations, Py_XNewRef(value));
  return 0;
}

// Pickled by reference and copied as itself, as Python's functions are: a str
// from __reduce__ tells pickle to save the module and qualified name, and copy
// to return the object.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_fn(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__signature__", T_OBJECT_EX, offsetof(FunctionObject, signature), 0, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {"__kwdefaults__", T_OBJECT, offsetof(FunctionObject, kwdefaults), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* function_type() {
  if (!g_function_type) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
        {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
        {Py_tp_members, function_members},
        {Py_tp_methods, function_methods},
        {Py_tp_getset, function_getset},
        {0, nullptr},
    };
    PyType_Spec spec{"ravn.function", sizeof(FunctionObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                         Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                     slots};
    PyObject* t = PyType_FromSpec(&spec);
    if (!t) throw py::error_already_set();
    g_function_type = reinterpret_cast<PyTypeObject*>(t);
  }
  return g_function_type;
}

Check check_for(const py::object& annotation) {
  if (!annotation) return Check::none;
  if (annotation.ptr() == reinterpret_cast<PyObject*>(&PyLong_Type)) return Check::integer;
  if (annotation.ptr() == reinterpret_cast<PyObject*>(&PyUnicode_Type)) return Check::text;
  return Check::none;
}

}  // namespace

int engine::set_name_attribute(PyObject** slot, PyObject* value, const char* attribute) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
    return -1;
  }
  Py_SETREF(*slot, Py_NewRef(value));
  return 0;
}

const Globals& function_globals(PyObject* function) { return *as_fn(function)->globals; }
PyObject* function_name(PyObject* function) { return as_fn(function)->name; }
PyObject* function_qualname(PyObject* function) { return as_fn(function)->qualname; }

py::object make_function(const Globals& globals, FunctionSpec spec) {
  py::module_ inspect = py::module_::import("inspect");
  py::object parameter = inspect.attr("Parameter");
  py::object empty = parameter.attr("empty");

  auto params = std::make_unique<std::vector<ParamInfo>>();
  py::list sig_params;
  py::dict annotations;
  py::list defaults;
  py::dict kwdefaults;
  std::size_t positional = 0;
  for (Param& p : spec.params) {
    const bool kw_only = p.kind == Param::keyword_only;
    py::str name = py::reinterpret_steal<py::str>(PyUnicode_InternFromString(p.name.c_str()));
    py::object kind = parameter.attr(kw_only ? "KEYWORD_ONLY" : "POSITIONAL_OR_KEYWORD");
    sig_params.append(parameter(name, kind, py::arg("default") = p.default_ ? p.default_ : empty,
                                py::arg("annotation") = p.annotation ? p.annotation : empty));
    if (p.annotation) annotations[name] = p.annotation;
    if (p.default_) (kw_only ? static_cast<void>(kwdefaults[name] = p.default_) : defaults.append(p.default_));
    if (!kw_only) ++positional;
    params->push_back(ParamInfo{name, p.default_, check_for(p.annotation), kw_only});
  }
  if (spec.returns) annotations["return"] = spec.returns;
  py::object signature = inspect.attr("Signature")(
      sig_params, py::arg("return_annotation") = spec.returns ? spec.returns : inspect.attr("Signature").attr("empty"));

  FunctionObject* fn = PyObject_GC_New(FunctionObject, function_type());
  if (!fn) throw py::error_already_set();
  fn->vectorcall = function_vectorcall;
  fn->dict = PyDict_New();
  fn->weakrefs = nullptr;
  fn->name = PyUnicode_FromString(spec.name.c_str());
  fn->qualname = PyUnicode_FromString(spec.qualname.c_str());
  fn->module = Py_NewRef(globals.dict()["__name__"].ptr());
  fn->doc = spec.doc ? PyUnicode_FromString(spec.doc->c_str()) : Py_NewRef(Py_None);
  fn->signature = signature.release().ptr();
  fn->annotations = annotations.release().ptr();
  fn->defaults = defaults.empty() ? Py_NewRef(Py_None) : PySequence_Tuple(defaults.ptr());
  fn->kwdefaults = kwdefaults.empty() ? Py_NewRef(Py_None) : kwdefaults.release().ptr();
  fn->globals = new Globals(globals);
  fn->params = params.release();
  fn->positional = positional;
  fn->call = spec.call;
  PyObject_GC_Track(fn);
  py::object result = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(fn));

  if (spec.is_coroutine) {
    // What asyncio.iscoroutinefunction (and so FastAPI) looks for on a non-Python function.
    result.attr("_is_coroutine") = py::module_::import("asyncio.coroutines").attr("_is_coroutine");
    if (py::hasattr(inspect, "_is_coroutine_mark")) {
      result.attr("_is_coroutine_marker") = inspect.attr("_is_coroutine_mark");
    }
  }
  return result;
}

Module::Module(py::module_ m) : module(std::move(m)), globals_(module.attr("__dict__")) {}

py::object Module::make_class(const char* name, std::optional<std::string> doc,
                              std::vector<std::pair<const char*, py::object>> members, py::tuple bases) const {
  py::dict ns;
  ns["__module__"] = globals_.dict()["__name__"];
  ns["__qualname__"] = name;
  if (doc) ns["__doc__"] = *doc;
  for (auto& [member, value] : members) ns[member] = value;
  if (bases.empty()) {
    bases = py::make_tuple(py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  }
  py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  return type(name, bases, ns);
}

}  // namespace ravn::rt

namespace ravn::rt {
void init() {
  function_type();
  coroutine_type();
  async_generator_type();
}
}  // namespace ravn::rt
