// Python binding of OrderbookBuilder.
#include "binding.h"
#include "classes.h"

namespace tidemark::py {

namespace {

struct OrderbookBuilderState {};

PyMethodDef methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_object<OrderbookBuilderState>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<OrderbookBuilderState>)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("OrderbookBuilder()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.OrderbookBuilder", sizeof(Wrapped<OrderbookBuilderState>), 0,
                    TIDEMARK_CLASS_FLAGS, slots};

}  // namespace

const ClassDef kOrderbookBuilderClass{"OrderbookBuilder", &spec,
                                      &type_object<OrderbookBuilderState>()};

}  // namespace tidemark::py
