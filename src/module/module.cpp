// The module's entry point: hands the interpreter the module's definition
// (multi-phase initialisation); executing it registers, in this order,
// __version__, parse, PromptFragment, PromptTemplate, escape, validate,
// MarkupError, ChatTemplate, pack, Packer, DataCollator and prepare, each name entering __all__
// before the attribute is set (prepare, written in Python beside the module, on first use). Every module object holds the same class objects, made
// once per process: interpreters that share the main interpreter's lock may
// import it, those with a lock of their own may not. An interpreter built
// without the global lock keeps it off: what threads share is guarded
// (object_lock.hpp, core/count.hpp).
#include "binding/chat.hpp"
#include "binding/conversions.hpp"
#include "binding/entry_points.hpp"
#include "binding/fragment_type.hpp"
#include "binding/markup_check.hpp"
#include "binding/packing.hpp"
#include "binding/template_record.hpp"
#include "module/version.hpp"

namespace korvanta {
namespace {

constexpr std::string_view template_names[] = {"template"};
constexpr Signature parse_signature{"parse()", template_names, 1};

constexpr std::string_view text_names[] = {"text"};
constexpr Signature validate_signature{"validate()", template_names, 1};
constexpr Signature escape_signature{"escape()", text_names, 1};

PyMethodDef parse_definition = {
    "parse", method_pointer(function<parse_signature, parse_to_list>), fast_call_flags, parse_doc};
PyMethodDef escape_definition = {
    "escape", method_pointer(function<escape_signature, escape>), fast_call_flags, escape_doc};
PyMethodDef validate_definition = {
    "validate", method_pointer(function<validate_signature, validate>), fast_call_flags, validate_doc};

int execute(PyObject* module);

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "korvanta",         // name
    "Korvanta Module",  // docstring
    0,                  // no per-module state
    nullptr,            // no method table: parse is added on execution
    module_slots,
    nullptr, nullptr, nullptr,
};

// Appends `name` to __all__ (made on first use), then sets the attribute.
void register_attribute(PyObject* module, const char* name, PyObject* value) {
    Ref all = attribute_or_null(module, "__all__");
    if (!all) {
        all = check(PyList_New(0));
        check_status(PyObject_SetAttrString(module, "__all__", all.get()));
    }
    if (!PyList_Check(all.get())) raise_conversion(all.get(), messages::py_list);
    Ref text = check(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), text.get()) < 0) {
        Ref error = fetch_exception();
        Ref traceback = Ref::steal(PyException_GetTraceback(error.get()));
        Ref description = Ref::steal(PyUnicode_FromFormat("type: %R, value: %R, traceback: %R", Py_TYPE(error.get()),
                                                          error.get(), traceback ? traceback.get() : Py_None));
        PyErr_Clear();
        std::string text = messages::all_append_failed;
        if (const char* utf8 = description ? PyUnicode_AsUTF8(description.get()) : nullptr) text += utf8;
        PyErr_Clear();
        throw InternalFailure{text};
    }
    check_status(PyObject_SetAttrString(module, name, value));
}

// A function bound to the module, registered under the name it carries.
void register_function(PyObject* module, PyMethodDef& definition) {
    Ref module_name = check(PyModule_GetNameObject(module));
    Ref function = check(PyCFunction_NewEx(&definition, module, module_name.get()));
    Ref function_name = check(PyObject_GetAttrString(function.get(), "__name__"));
    const char* name = PyUnicode_AsUTF8AndSize(function_name.get(), nullptr);
    if (name == nullptr) throw PythonError{};
    register_attribute(module, name, function.get());
}

// The module's attributes written in Python (the package's korvanta/_prepare.py),
// imported when first asked for: `import korvanta` stays as light as it was.
PyObject* lazy_attribute(PyObject* module, PyObject* name) {
    return call_frame([&]() -> PyObject* {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "prepare") == 0) {
            // Imported already, it is taken from sys.modules: 3.13's import machinery
            // swallows (and prints) a failure inside it.
            Ref helper_name = check(PyUnicode_FromString("korvanta._prepare"));
            Ref helper = Ref::steal(PyImport_GetModule(helper_name.get()));
            if (!helper) {
                if (PyErr_Occurred()) throw PythonError{};
                helper = check(PyImport_Import(helper_name.get()));
            }
            Ref prepare = check(PyObject_GetAttr(helper.get(), name));
            check_status(PyObject_SetAttr(module, name, prepare.get()));
            return prepare.release();
        }
        PyErr_Format(PyExc_AttributeError, messages::no_module_attribute, name);
        return nullptr;
    });
}
PyMethodDef lazy_attribute_definition = {"__getattr__", lazy_attribute, METH_O, nullptr};

// Blocks of copied text are small and made and freed with the interpreter lock held,
// which is what the interpreter's own allocator wants.
void* allocate_block(std::size_t size) {
    void* block = PyMem_Malloc(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void release_block(void* block) noexcept {
    if (may_release()) PyMem_Free(block);
}

// Marks the interpreter as ending (see interpreter_ending); atexit calls it
// before any daemon thread can be unwound by force. Only the main
// interpreter's end ends the process; another interpreter ends alone (it
// cannot end while a thread of its own runs), releasing what it made.
PyObject* mark_ending(PyObject*, PyObject*) noexcept {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) {
        finalizing_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
        interpreter_ending.store(true, std::memory_order_relaxed);
    }
    Py_RETURN_NONE;
}
PyMethodDef mark_ending_definition = {"_mark_ending", mark_ending, METH_NOARGS, nullptr};

// Registers the hook once per interpreter: importing the module again does not.
void watch_for_the_end() {
    if (watched_for_the_end()) return;
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) interpreter_ending.store(false, std::memory_order_relaxed);
    Ref atexit = check(PyImport_ImportModule("atexit"));
    Ref hook = check(PyCFunction_New(&mark_ending_definition, nullptr));
    check(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
}

void initialise(PyObject* module) {
    static const bool allocator_set = (set_text_block_allocator({allocate_block, release_block}), true);  // once
    (void)allocator_set;
    watch_for_the_end();
    Ref version = check(PyUnicode_FromString(KORVANTA_VERSION));
    register_attribute(module, "__version__", version.get());

    register_function(module, parse_definition);
    register_attribute(module, FragmentObject::class_name, reinterpret_cast<PyObject*>(FragmentObject::type()));
    register_attribute(module, TemplateObject::class_name, reinterpret_cast<PyObject*>(TemplateObject::type()));
    register_function(module, escape_definition);
    register_function(module, validate_definition);
    register_attribute(module, "MarkupError", markup_error_type());
    register_attribute(module, ChatObject::class_name, reinterpret_cast<PyObject*>(ChatObject::type()));
    register_function(module, pack_method());
    register_attribute(module, "Packer", packer_class());
    register_attribute(module, "DataCollator", collator_class());
    Ref lazy = check(PyCFunction_New(&lazy_attribute_definition, module));
    check_status(PyObject_SetAttrString(module, "__getattr__", lazy.get()));
    Ref all = check(PyObject_GetAttrString(module, "__all__"));
    Ref prepare = check(PyUnicode_FromString("prepare"));
    check_status(PyList_Append(all.get(), prepare.get()));
}

int execute(PyObject* module) {
    return call_frame([module] {
        initialise(module);
        return 0;
    });
}

}  // namespace
}  // namespace korvanta

PyMODINIT_FUNC PyInit_korvanta(void) {
    return PyModuleDef_Init(&korvanta::module_definition);
}
