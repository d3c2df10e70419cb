// Python binding of FeedPathBuilder.
#include "binding.h"
#include "classes.h"

namespace tidemark::py {

namespace {

struct FeedPathBuilderState {};

PyMethodDef methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_object<FeedPathBuilderState>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<FeedPathBuilderState>)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>("FeedPathBuilder()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.FeedPathBuilder", sizeof(Wrapped<FeedPathBuilderState>), 0,
                    TIDEMARK_CLASS_FLAGS, slots};

}  // namespace

const ClassDef kFeedPathBuilderClass{"FeedPathBuilder", &spec,
                                     &type_object<FeedPathBuilderState>()};

}  // namespace tidemark::py
