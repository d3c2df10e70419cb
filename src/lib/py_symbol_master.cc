// Python binding of SymbolMaster.
#include "binding.h"
#include "classes.h"

namespace tidemark::py {

namespace {

struct SymbolMasterState {};

PyMethodDef methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_object<SymbolMasterState>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<SymbolMasterState>)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("SymbolMaster()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.SymbolMaster", sizeof(Wrapped<SymbolMasterState>), 0,
                    TIDEMARK_CLASS_FLAGS, slots};

}  // namespace

const ClassDef kSymbolMasterClass{"SymbolMaster", &spec, &type_object<SymbolMasterState>()};

}  // namespace tidemark::py
