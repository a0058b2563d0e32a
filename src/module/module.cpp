// Module initialisation: one interpreter per process, the module object
// created once and kept, the two classes registered, and on free-threaded
// interpreters the declaration that the module runs without the GIL.
#include <atomic>
#include <cstdint>

#include "module/py_keyword_match.hpp"
#include "module/py_keyword_processor.hpp"
#include "module/py_support.hpp"

namespace fernquill::py {
namespace {

std::atomic<std::int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "fernquill", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* init() {
  return guard([]() -> Ref {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_error_set();
    std::int64_t expected = -1;
    if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
      PyErr_SetString(PyExc_ImportError,
                      "fernquill does not support sub-interpreters: it is already loaded by "
                      "another interpreter of this process");
      throw_error_set();
    }
    if (g_module != nullptr) return Ref::borrowed(g_module);
    // Every process-wide object is made here, while the import system runs
    // this once; later calls from any thread only read them.
    if (panic_exception_type() == nullptr) throw_error_set();
    Ref module = Ref::check(PyModule_Create(&g_module_def));
#ifdef Py_GIL_DISABLED
    // Every method borrows its object before touching it (py_borrow.hpp).
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) throw_error_set();
#endif
    PyObject* processor = reinterpret_cast<PyObject*>(keyword_processor_type());
    if (processor == nullptr ||
        PyModule_AddObjectRef(module.get(), "KeywordProcessor", processor) < 0) {
      throw_error_set();
    }
    PyObject* match = reinterpret_cast<PyObject*>(keyword_match_type());
    if (match == nullptr || PyModule_AddObjectRef(module.get(), "PyKeywordMatch", match) < 0) {
      throw_error_set();
    }
    g_module = Ref::borrowed(module.get()).release();  // kept for the life of the process
    return module;
  });
}

}  // namespace
}  // namespace fernquill::py

PyMODINIT_FUNC PyInit_fernquill() { return fernquill::py::init(); }
