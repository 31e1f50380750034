// POSIX systems: the words of an errno value.
#include <bmpfun/status.hpp>

#include <cstring>

namespace bmpfun {

std::string systemErrorText(int systemError) {
  return systemError != 0 ? std::string(std::strerror(systemError)) : std::string("unknown system error");
}

}  // namespace bmpfun
