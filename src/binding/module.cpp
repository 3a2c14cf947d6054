// The module object: its definition record, the apply_lut function entry and
// PyInit_tonvik, the one symbol the interpreter calls.
//
// Single-phase initialisation, at most once per process: a second
// initialisation (re-import after removal from sys.modules, or another
// interpreter) fails with ImportError instead of sharing process-wide state.
#include <atomic>

#include "apply_lut_entry.hpp"
#include "bind_arguments.hpp"
#include "entry_guard.hpp"
#include "interned_names.hpp"
#include "messages.hpp"
#include "owned_ref.hpp"
#include "python.hpp"
#include "python_error.hpp"

namespace tonvik {
namespace {

// The C API version the module is built for, as PyModule_Create2 expects it.
constexpr int kApiVersion = 1013;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "tonvik",
    messages::module_doc,
    0,        // no per-module state
    nullptr,  // no method table: apply_lut is attached once the module exists
    nullptr,  // single-phase: no slots
    nullptr,
    nullptr,
    nullptr,
};

PyMethodDef g_apply_lut_def = {
    "apply_lut",
    // The usual C-API cast for a fast-call function, through void(*)(void) so
    // the compiler accepts the different signature.
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(apply_lut_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    messages::apply_lut_doc,
};

std::atomic<bool> g_initialized{false};

// The module's own name as a str.
OwnedRef module_name(PyObject* module) {
  const char* name = PyModule_GetName(module);
  if (name == nullptr) throw_pending_error();
  OwnedRef text(PyUnicode_FromString(name));
  if (!text) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw_pending_error();
    PyErr_Clear();
    throw InternalFault(messages::module_name_not_utf8);
  }
  return text;
}

// The module's __all__, made as an empty list when a fresh module has none.
OwnedRef module_all(PyObject* module) {
  PyObject* all_name = interned(InternedName::dunder_all);
  OwnedRef all(PyObject_GetAttr(module, all_name));
  if (all) return all;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending_error();
  PyErr_Clear();
  all = check(PyList_New(0));
  if (PyObject_SetAttr(module, all_name, all.get()) < 0) throw_pending_error();
  return all;
}

void fill_module(PyObject* module) {
  OwnedRef name = module_name(module);
  OwnedRef function = check(PyCMethod_New(&g_apply_lut_def, module, name.get(), nullptr));
  OwnedRef function_name = check(PyObject_GetAttr(function.get(), interned(InternedName::dunder_name)));
  if (!PyUnicode_Check(function_name.get())) throw_not_a_string(function_name.get());
  OwnedRef all = module_all(module);
  if (!PyList_Check(all.get())) throw InternalFault(messages::cannot_append_to_all);
  // Appending fails only when memory runs out: that MemoryError is what the
  // importer sees.
  if (PyList_Append(all.get(), function_name.get()) < 0) throw_pending_error();
  if (PyObject_SetAttr(module, function_name.get(), function.get()) < 0) throw_pending_error();
}

OwnedRef create_module() {
  OwnedRef module = check(PyModule_Create2(&g_module_def, kApiVersion));
  // Set before the body runs, so that a failed first initialisation still
  // counts as the one this process gets.
  if (g_initialized.exchange(true, std::memory_order_seq_cst)) {
    throw_python_error(PyExc_ImportError, "%s", messages::initialized_twice);
  }
  fill_module(module.get());
  return module;
}

}  // namespace
}  // namespace tonvik

PyMODINIT_FUNC PyInit_tonvik(void) {
  return tonvik::run_guarded([] { return tonvik::create_module(); });
}
