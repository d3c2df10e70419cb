#include "status.h"

#include <string>

// The XSI variant of strerror_r; glibc exports it under this name while the
// plain name gives the GNU variant in C++ builds.
extern "C" int __xpg_strerror_r(int errnum, char* buf, std::size_t buflen);

namespace tidemark {

std::string os_error_text(int errnum) {
  char buf[256];
  std::string text;
  if (__xpg_strerror_r(errnum, buf, sizeof buf) == 0) {
    text = buf;
  } else {
    text = "Unknown error " + std::to_string(errnum);
  }
  text += " (os error ";
  text += std::to_string(errnum);
  text += ")";
  return text;
}

}  // namespace tidemark
