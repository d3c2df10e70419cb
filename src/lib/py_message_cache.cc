// Python binding of MessageCacheReader.
#include "binding.h"
#include "classes.h"

namespace tidemark::py {

namespace {

struct MessageCacheState {};

PyMethodDef methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_object<MessageCacheState>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<MessageCacheState>)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("MessageCacheReader()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.MessageCacheReader", sizeof(Wrapped<MessageCacheState>), 0,
                    TIDEMARK_CLASS_FLAGS, slots};

}  // namespace

const ClassDef kMessageCacheReaderClass{"MessageCacheReader", &spec,
                                        &type_object<MessageCacheState>()};

}  // namespace tidemark::py
