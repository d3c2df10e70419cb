// The object behind a Python StreamingBinaryLoader: the native loader and
// the Python values of its attached contracts. The order book binding reads
// messages through it with the loader's native step.
#pragma once

#include "enrichment.h"
#include "streaming_loader.h"

namespace tidemark::py {

struct LoaderState {
  StreamingLoader core;
  // Values of the attached table's contracts, made on first use; reset with
  // every attach and cleared by detach.
  EnrichmentValues enrichment;
};

// The class name, as argument errors report it.
inline constexpr const char* kStreamingBinaryLoaderName = "StreamingBinaryLoader";

}  // namespace tidemark::py
