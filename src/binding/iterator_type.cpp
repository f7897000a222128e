// PromptFragmentIter: holds the template's content as it was when the iterator
// was made, and copies its fragments one by one into new PromptFragment objects.
// Not registered in the module and not constructible from Python.
#include "binding/fragment_type.hpp"
#include "binding/statics.hpp"
#include "binding/template_record.hpp"

namespace korvanta {
namespace {

Ref iterator_iter(IteratorObject& self) { return Ref::borrow(self_of(self)); }

// Exclusive access only while copying the record; the object is made after.
Ref iterator_next(IteratorObject& self) {
    PromptFragment record;
    {
        ExclusiveAccess access(self_of(self));
        IteratorRecord& state = self.record;
        const FragmentList& fragments = state.content->fragments;
        // Threads stepping one iterator at once (without the interpreter
        // lock) each take a position of their own.
        std::size_t at = state.next.load(std::memory_order_relaxed);
        do {
            if (at >= fragments.size()) {
                Ref stop = check(PyObject_CallOneArg(PyExc_StopIteration, Py_None));
                PyErr_SetObject(PyExc_StopIteration, stop.get());
                throw PythonError{};
            }
        } while (without_interpreter_lock && !state.next.compare_exchange_weak(at, at + 1, std::memory_order_relaxed));
        if constexpr (!without_interpreter_lock) state.next.store(at + 1, std::memory_order_relaxed);
        record = fragments[at];
    }
    return new_fragment(std::move(record));
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, messages::no_constructor);
    return nullptr;
}

PyType_Slot iterator_type_slots[] = {
    {Py_tp_doc, const_cast<char*>("PromptFragmentIter(self)\n--\n\n")},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<IteratorObject>)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_iter, reinterpret_cast<void*>(unary_slot<IteratorObject, Access::read, iterator_iter>)},
    {Py_tp_iternext, reinterpret_cast<void*>(unary_slot<IteratorObject, Access::none, iterator_next>)},
    {0, nullptr},
};

PyType_Spec iterator_definition = {
    "builtins.PromptFragmentIter",
    static_cast<int>(sizeof(IteratorObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    iterator_type_slots,
};

}  // namespace

PyTypeObject* IteratorObject::type() {
    return check_borrowed(class_object(Static::iterator_class, iterator_definition));
}

}  // namespace korvanta
