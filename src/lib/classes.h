// The five classes of the module, in the order of registration.
#pragma once

#include "binding.h"

namespace tidemark::py {

extern const ClassDef kMessageCacheReaderClass;
extern const ClassDef kStreamingBinaryLoaderClass;
extern const ClassDef kOrderbookBuilderClass;
extern const ClassDef kFeedPathBuilderClass;
extern const ClassDef kSymbolMasterClass;

}  // namespace tidemark::py
