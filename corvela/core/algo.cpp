// The module corvela.core.algo: its method table and definition.
#include "algo_module.hpp"

namespace {

using corvela::algo_module::match_entry;
using corvela::algo_module::module_create;
using corvela::algo_module::module_exec;

PyMethodDef module_methods[] = {
    {"match", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(match_entry)),
     METH_VARARGS | METH_KEYWORDS,
     "\n    Based on the data structure, calculate that how much of the time that there is\n"
     "    some speech going on in base, there is a subtitle in other.\n    "},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "algo",
    "Speech coverage by subtitles, for Python 3.9 and later.\n\n"
    "Written by the corvela developers, 2026.",
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_algo(void) {
    return PyModuleDef_Init(&module_def);
}
