// How the image layer's operations fill in the caller's optional status.
#pragma once
#include <bmpfun/limits.hpp>
#include <bmpfun/status.hpp>

#include <cstdint>

namespace bmpfun::detail {

inline void report(Status* status, const Status& value) {
  if (status != nullptr) *status = value;
}

inline Status failure(Cause cause) {
  Status s;
  s.cause = cause;
  return s;
}

// A picture of width x height that cannot be made: badSize, tooLarge (with the limit it
// passed) or outOfMemory.
inline Status sizeFailure(Cause cause, int64_t width, int64_t height, const Limits& limits) {
  Status s = failure(cause);
  s.width = width;
  s.height = height;
  if (cause == Cause::tooLarge) s.maxPixels = limits.maxPixels;
  return s;
}

}  // namespace bmpfun::detail
