#include "velmar/ccapture/function_type.h"

#include <cstddef>
#include <new>

#include <structmember.h>

#include "velmar/ccapture/argument_binding.h"
#include "glue/errors.h"
#include "glue/namespace.h"

namespace nb = nanobind;

namespace velmar {
namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature *signature;
    PyObject *name;
    PyObject *module_name;
    PyObject *defaults;  // tuple, or None
    PyObject *globals;   // the module's dict
    PyObject *names;     // interned names of the globals the operations use
};

Function *as_function(PyObject *self) { return reinterpret_cast<Function *>(self); }

PyObject *call_function(PyObject *self, PyObject *const *args, size_t nargsf,
                        PyObject *kwnames) {
    Function *f = as_function(self);
    try {
        BoundArguments bound = bind_arguments(*f->signature, f->defaults, args,
                                              PyVectorcall_NARGS(nargsf), kwnames);
        return f->signature->run(Namespace(f->globals, f->names), bound);
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        // A C++ failure must reach the caller as an exception, not end the process.
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

nb::object make_defaults(const Signature &s) {
    std::size_t first = s.required;
    if (first == s.count)
        return nb::none();
    nb::object tuple = steal_checked(PyTuple_New(static_cast<Py_ssize_t>(s.count - first)));
    for (std::size_t i = first; i < s.count; ++i) {
        const Default &d = s.parameters[i].fallback;
        PyObject *value = d.tag == Default::Tag::Bool ? PyBool_FromLong(d.value)
                                                      : PyLong_FromLong(d.value);
        PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(i - first), check(value));
    }
    return tuple;
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_function(self)->name); }
PyObject *get_module(PyObject *self, void *) {
    return Py_NewRef(as_function(self)->module_name);
}
PyObject *get_defaults(PyObject *self, void *) {
    return Py_NewRef(as_function(self)->defaults);
}
PyObject *get_doc(PyObject *, void *) { Py_RETURN_NONE; }

// inspect.Signature of the table, so help() and editors show the parameters.
PyObject *get_signature(PyObject *self, void *) {
    Function *f = as_function(self);
    try {
        nb::module_ inspect = nb::module_::import_("inspect");
        nb::object parameter = inspect.attr("Parameter");
        nb::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
        const Signature &s = *f->signature;
        std::size_t first = s.required;
        nb::list parameters;
        for (std::size_t i = 0; i < s.count; ++i) {
            nb::str name(s.parameters[i].name);
            if (i < first)
                parameters.append(parameter(name, kind));
            else
                parameters.append(parameter(name, kind, nb::arg("default") =
                                  nb::borrow(PyTuple_GET_ITEM(f->defaults, i - first))));
        }
        return inspect.attr("Signature")(parameters).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

PyObject *function_repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->name, self);
}

// Pickled by reference, like a module-level Python function.
PyObject *function_reduce(PyObject *self, PyObject *) {
    return Py_NewRef(as_function(self)->name);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    Function *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->module_name);
    Py_VISIT(f->defaults);
    Py_VISIT(f->globals);
    Py_VISIT(f->names);
    return 0;
}

// No tp_clear: a function's references are set once and never change, so any
// cycle through one also runs through its namespace dict, whose own clear
// breaks it. A live function thus never has an emptied field to trip on.
void function_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Function *f = as_function(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->module_name);
    Py_XDECREF(f->defaults);
    Py_XDECREF(f->globals);
    Py_XDECREF(f->names);
    type->tp_free(self);
    Py_DECREF(type);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

// Only make_function creates instances, fully set; the type's attributes are
// fixed, so its slots cannot be swapped from Python nor its instances recast.
PyType_Spec function_spec = {
    "velmar.ccapture.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

}  // namespace

nb::object make_function_type() {
    return steal_checked(PyType_FromSpec(&function_spec));
}

nb::object make_function(nb::handle type, const Signature &signature, nb::handle globals,
                         nb::handle names) {
    nb::object defaults = make_defaults(signature);
    nb::object name = steal_checked(PyUnicode_InternFromString(signature.name));
    nb::object module_name = steal_checked(PyUnicode_FromString("velmar.ccapture"));
    auto *tp = reinterpret_cast<PyTypeObject *>(type.ptr());
    Function *f = PyObject_GC_New(Function, tp);
    if (!f)
        throw nb::python_error();
    f->vectorcall = call_function;
    f->signature = &signature;
    f->name = name.release().ptr();
    f->module_name = module_name.release().ptr();
    f->defaults = defaults.release().ptr();
    f->globals = Py_NewRef(globals.ptr());
    f->names = Py_NewRef(names.ptr());
    PyObject_GC_Track(f);
    return nb::steal(reinterpret_cast<PyObject *>(f));
}

}  // namespace velmar
