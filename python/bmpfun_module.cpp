// bmpfun._bmpfun: the Python face of the library. Images are bmpfun::Image objects held by
// std::unique_ptr; their pixels are shown to NumPy without a copy. Every library call that
// can take long (load, save, each operation) runs with the GIL released. Failures become
// Python exceptions carrying the library's own text; nothing is printed.
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>
#include <bmpfun/limits.hpp>
#include <bmpfun/operations.hpp>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#ifndef BMPFUN_VERSION
#define BMPFUN_VERSION "0"
#endif

namespace py = pybind11;
using bmpfun::Cause;
using bmpfun::Image;
using bmpfun::Status;
using bmpfun::Limits;

namespace {

// ---------------------------------------------------------------- failures
// Thrown inside the module only; the translators below turn them into Python exceptions
// before control returns to the interpreter.

// A file the reader refuses: bmpfun.Error (a ValueError).
struct RefusedFile : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// An operating-system failure: OSError(errno, strerror[, path]), which Python turns into
// FileNotFoundError, PermissionError, IsADirectoryError, ... by errno. text is the strerror
// part, so str() reads as for the interpreter's own failures: "[Errno 2] No such file or
// directory: 'in.bmp'".
struct SystemFailure : std::exception {
  int error;
  std::string text;
  std::string path;
  SystemFailure(int e, std::string t, std::string p) : error(e), text(std::move(t)), path(std::move(p)) {}
  const char* what() const noexcept override { return text.c_str(); }
};

// Memory that could not be had: MemoryError with the library's text.
struct OutOfMemory : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void translateFailures(std::exception_ptr failure) {
  try {
    if (failure) std::rethrow_exception(failure);
  } catch (const SystemFailure& e) {
    const py::object oserror = py::reinterpret_borrow<py::object>(PyExc_OSError);
    const py::object exc = e.path.empty() ? oserror(e.error, e.text)
                                          : oserror(e.error, e.text, py::module_::import("os").attr("fsdecode")(py::bytes(e.path)));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  } catch (const OutOfMemory& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  }
}

// The option that would help, in this module's words.
std::string hintText(const Status& status) {
  switch (status.hint()) {
    case bmpfun::Hint::none: break;
    case bmpfun::Hint::extendedReader: return " (read it with extended=True)";
    case bmpfun::Hint::largerLimit: return " (see max_pixels)";
    case bmpfun::Hint::otherFolder: return " (save it to another folder)";
  }
  return {};
}

// The exception for a status of an operation that made no image.
[[noreturn]] void raiseStatus(const Status& status, const std::string& context) {
  const std::string text = context + ": " + bmpfun::to_string(status) + hintText(status);
  if (status.cause == Cause::outOfMemory) throw OutOfMemory(text);
  throw py::value_error(text);
}

std::unique_ptr<Image> madeOrRaise(std::unique_ptr<Image> image, const Status& status,
                                   const std::string& context) {
  if (!image) raiseStatus(status, context);
  return image;
}

int32_t int32Arg(int64_t value, const char* name) {
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    throw py::value_error(std::string(name) + " must fit a signed 32-bit integer, not " +
                          std::to_string(value));
  }
  return static_cast<int32_t>(value);
}

Limits makeLimits(int64_t maxPixels, int64_t threads, bool extended) {
  if (maxPixels < 1) throw py::value_error("max_pixels must be at least 1, not " + std::to_string(maxPixels));
  if (threads < 0) throw py::value_error("threads must be 0 (one per core) or more, not " + std::to_string(threads));
  Limits limits;
  limits.maxPixels = maxPixels;
  limits.threads = int32Arg(threads, "threads");
  limits.extended = extended;
  return limits;
}

// ---------------------------------------------------------------- sources: path, bytes or file object

std::string typeName(const py::handle& object) {
  return py::str(py::type::of(object).attr("__name__")).cast<std::string>();
}

// A str or os.PathLike names a file; anything with the buffer protocol (bytes, bytearray,
// memoryview, a 1-D uint8 array) is the file's content; an object with read() (an open file,
// io.BytesIO) gives the content from its position to its end.
struct Source {
  bool isPath = false;
  std::string path;          // file-system encoding, as os.fsencode gives it
  py::object owner;          // what content points into
  py::buffer_info content;   // valid while the Source lives
};

bool isPath(const py::object& object) {
  return py::isinstance<py::str>(object) || py::isinstance(object, py::module_::import("os").attr("PathLike"));
}

Source sourceOf(const py::object& given) {
  Source s;
  if (isPath(given)) {
    s.isPath = true;
    s.path = py::module_::import("os").attr("fsencode")(given).cast<std::string>();
    // The system reads a path up to its first NUL: "c3\0.bmp" would name the file c3.
    // Refused as the interpreter's own open() refuses it.
    if (s.path.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
    return s;
  }
  py::object source = given;
  if (!PyObject_CheckBuffer(given.ptr()) && py::hasattr(given, "read")) {
    source = given.attr("read")();
    if (py::isinstance<py::str>(source)) {
      throw py::type_error("the file object gives str, not bytes: open the file in binary mode ('rb')");
    }
    if (!PyObject_CheckBuffer(source.ptr())) {
      throw py::type_error("the file object's read() gave " + typeName(source) + ", not bytes");
    }
  }
  if (PyObject_CheckBuffer(source.ptr())) {
    s.owner = source;
    s.content = py::reinterpret_borrow<py::buffer>(source).request();
    if (s.content.itemsize != 1 || s.content.ndim > 1 ||
        (s.content.ndim == 1 && s.content.strides[0] != 1)) {
      throw py::value_error("file content must be contiguous bytes");
    }
    return s;
  }
  throw py::type_error("expected a path (str or os.PathLike), the file's bytes or a file object with read(), not " +
                       typeName(given));
}

std::span<const uint8_t> bytesOf(const Source& s) {
  return {static_cast<const uint8_t*>(s.content.ptr), static_cast<size_t>(s.content.size)};
}

// ---------------------------------------------------------------- load, save, info

// The exception for a load, save or header read that did not succeed. path is empty for
// content in memory.
[[noreturn]] void raiseCodec(const Status& codec, const std::string& path) {
  const std::string text = bmpfun::to_string(codec) + hintText(codec);
  if (codec.cause == Cause::outOfMemory) throw OutOfMemory(text);
  // The causes that carry the system's errno: the OSError gets that errno (and so its
  // subclass) and its text, as the interpreter's own file calls give them.
  const bool system = codec.cause == Cause::cannotOpen || codec.cause == Cause::readFailed ||
                      codec.cause == Cause::writeFailed || codec.cause == Cause::noTemporaryFile;
  if (system) {
    const int error = codec.systemError != 0 ? codec.systemError : EIO;
    // A file the caller may write was refused because nothing can be created beside it:
    // the errno alone (EACCES, EROFS, ENOSPC...) would not say why, the library's sentence
    // does.
    const std::string reason = codec.cause == Cause::noTemporaryFile ? text : std::strerror(error);
    throw SystemFailure(error, reason, path);
  }
  if (codec.cause == Cause::tooLargeForFile) throw py::value_error(text);
  throw RefusedFile(path.empty() ? text : path + ": " + text);
}

void warn(const char* category, const bmpfun::Status& codec, const std::string& path) {
  const std::string text = (path.empty() ? std::string() : path + ": ") + bmpfun::warningText(codec);
  const py::object type = py::module_::import("bmpfun._bmpfun").attr(category);
  if (PyErr_WarnEx(type.ptr(), text.c_str(), 2) != 0) throw py::error_already_set();
}

// The warnings of a load that succeeded, each with its own category so that the warnings
// filters tell them apart: the extended reader falling back on the default reader's layout
// (bmpfun.LayoutWarning), then data that ends early, the rest filled in (see the readers):
// bmpfun.TruncatedFileWarning.
void warnOfLoad(const Status& codec, const std::string& path) {
  if (codec.defaultLayout) {
    bmpfun::Status layout;
    layout.defaultLayout = true;
    warn("LayoutWarning", layout, path);
  }
  if (codec.pixelDataCut() || codec.tableCut()) {
    bmpfun::Status cut = codec;
    cut.defaultLayout = false;
    warn("TruncatedFileWarning", cut, path);
  }
}

std::unique_ptr<Image> load(const py::object& source, int64_t maxPixels, bool extended, int64_t threads) {
  const Limits limits = makeLimits(maxPixels, threads, extended);
  const Source s = sourceOf(source);
  Status status;
  std::unique_ptr<Image> image;
  {
    py::gil_scoped_release released;
    image = s.isPath ? Image::load(s.path, limits, &status) : Image::loadMemory(bytesOf(s), limits, &status);
  }
  if (!image) raiseCodec(status, s.path);
  warnOfLoad(status, s.path);
  return image;
}

// A depth as the command line's convert takes it: 1, 4, 8, 16, 24, 32, or "32a" (32 bits
// with a V5 header and an alpha mask).
struct Depth {
  int32_t bits = 24;
  bmpfun::SaveOptions options;
};

constexpr const char* kDepths = "1, 4, 8, 16, 24, 32 or \"32a\"";

Depth depthOf(const py::object& bits) {
  Depth depth;
  if (py::isinstance<py::str>(bits)) {
    if (bits.cast<std::string>() != "32a") {
      throw py::value_error(std::string("bits must be ") + kDepths + ", not " + py::repr(bits).cast<std::string>());
    }
    depth.bits = 32;
    depth.options.alphaMasks = true;
    return depth;
  }
  if (!py::isinstance<py::int_>(bits) || py::isinstance<py::bool_>(bits)) {
    throw py::type_error(std::string("bits must be ") + kDepths + ", not " + typeName(bits));
  }
  const auto value = bits.cast<int64_t>();
  if (value != 1 && value != 4 && value != 8 && value != 16 && value != 24 && value != 32) {
    throw py::value_error(std::string("bits must be ") + kDepths + ", not " + std::to_string(value));
  }
  depth.bits = static_cast<int32_t>(value);
  return depth;
}

py::bytes toBytes(const Image& image, const py::object& bits) {
  const Depth depth = depthOf(bits);
  std::vector<uint8_t> bytes;
  Status status;
  bool written = false;
  {
    py::gil_scoped_release released;
    written = image.saveMemory(bytes, depth.bits, depth.options, &status);
  }
  if (!written) raiseCodec(status, "");
  return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void save(const Image& image, const py::object& target, const py::object& bits) {
  const Depth depth = depthOf(bits);
  if (!isPath(target)) {
    if (!py::hasattr(target, "write")) {
      throw py::type_error("save takes a path (str or os.PathLike) or a file object with write(), not " +
                           typeName(target) + "; to_bytes gives the content");
    }
    target.attr("write")(toBytes(image, bits));
    return;
  }
  const Source s = sourceOf(target);
  Status status;
  bool written = false;
  {
    py::gil_scoped_release released;
    written = image.save(s.path, depth.bits, depth.options, &status);
  }
  if (!written) raiseCodec(status, s.path);
}

// The headers as `bmpfun info` lists them (the library's field list, see describeHeaders):
// "header" names the kind when the reading has one, then each field in file order, as an int
// (masks and colour-space tags too).
py::dict info(const py::object& source, bool extended) {
  const Source s = sourceOf(source);
  const bmpfun::HeaderReading reading = extended ? bmpfun::HeaderReading::extended : bmpfun::HeaderReading::byDefault;
  bmpfun::BmpHeaderView view;
  bmpfun::Status status;
  bool described = false;
  {
    py::gil_scoped_release released;
    described = s.isPath ? bmpfun::describeHeadersOf(s.path, view, &status, reading)
                         : bmpfun::describeHeaders(bytesOf(s), view, &status, reading);
  }
  if (!described) raiseCodec(status, s.path);
  py::dict d;
  if (!view.kind.empty()) d["header"] = view.kind;
  const py::object toInt = py::module_::import("builtins").attr("int");
  // A value may carry a note after a blank (a colour space's name): the number comes first.
  for (const bmpfun::BmpField& field : view.fields) {
    d[field.name.c_str()] = toInt(field.value.substr(0, field.value.find(' ')), 0);
  }
  return d;
}

// ---------------------------------------------------------------- arrays

// An alpha value of from_array's keyword: 0 to 255.
uint8_t alphaByte(int64_t alpha) {
  if (alpha < 0 || alpha > 255) throw py::value_error("alpha must be 0 to 255, not " + std::to_string(alpha));
  return static_cast<uint8_t>(alpha);
}

// What from_array reads: a NumPy array, or an object that gives one without guessing (the
// buffer protocol, __array_interface__, __array__: a Pillow image, a memoryview). Lists and
// tuples are refused: their numbers have no dtype, and int64 pixels would not fit.
py::array arrayOf(const py::object& given) {
  if (py::isinstance<py::array>(given)) return py::reinterpret_borrow<py::array>(given);
  if (!py::isinstance<py::list>(given) && !py::isinstance<py::tuple>(given) &&
      (PyObject_CheckBuffer(given.ptr()) || py::hasattr(given, "__array_interface__") ||
       py::hasattr(given, "__array__"))) {
    return py::module_::import("numpy").attr("asarray")(given);
  }
  throw py::type_error("from_array takes a NumPy array of uint8, height x width x 3 (r, g, b) or x 4 "
                       "(r, g, b, a), not " + typeName(given) + " (np.asarray(x, dtype=np.uint8) makes one)");
}

std::unique_ptr<Image> fromArray(const py::object& given, const py::object& alpha, int64_t maxPixels,
                                 int64_t threads) {
  const Limits limits = makeLimits(maxPixels, threads, false);
  const py::array array = arrayOf(given);
  if (array.dtype().kind() != 'u' || array.itemsize() != 1) {
    throw py::value_error("the array must be of dtype uint8, not " + py::str(array.dtype()).cast<std::string>());
  }
  if (array.ndim() != 3 || (array.shape(2) != 3 && array.shape(2) != 4)) {
    throw py::value_error("the array must be height x width x 3 (r, g, b) or x 4 (r, g, b, a), not " +
                          py::str(array.attr("shape")).cast<std::string>());
  }
  const py::ssize_t height = array.shape(0), width = array.shape(1), channels = array.shape(2);
  if (channels == 4 && !alpha.is_none()) {
    throw py::value_error("alpha= is for a height x width x 3 array: this one has its own alpha");
  }
  const uint8_t fill = alpha.is_none() ? uint8_t{0} : alphaByte(alpha.cast<int64_t>());
  if (height > std::numeric_limits<int32_t>::max() || width > std::numeric_limits<int32_t>::max()) {
    Status status;
    status.cause = Cause::tooLarge;
    status.width = width;
    status.height = height;
    raiseStatus(status, "from_array");
  }
  Status status;
  auto image = madeOrRaise(Image::create(static_cast<int32_t>(width), static_cast<int32_t>(height), limits, &status),
                           status, "from_array");
  const auto* base = static_cast<const uint8_t*>(array.data());
  const py::ssize_t sy = array.strides(0), sx = array.strides(1), sc = array.strides(2);
  {
    py::gil_scoped_release released;
    bmpfun::Pixel* out = image->pixels().data();
    if (channels == 4 && sc == 1 && sx == 4 && sy == 4 * width) {
      std::memcpy(out, base, static_cast<size_t>(width * height * 4));
    } else {
      // Any strides, negative ones included. Three channels take alpha from the keyword: 0
      // unless given, as a 24-bit file loads.
      for (py::ssize_t y = 0; y < height; ++y) {
        const uint8_t* row = base + y * sy;
        for (py::ssize_t x = 0; x < width; ++x, ++out) {
          const uint8_t* p = row + x * sx;
          *out = bmpfun::Pixel{p[0], p[sc], p[2 * sc], channels == 4 ? p[3 * sc] : fill};
        }
      }
    }
  }
  return image;
}

// The image's own pixel storage as a height x width x 4 array; the array holds a reference
// to the Python image, so the storage lives as long as either.
py::array pixelView(const py::object& self) {
  Image& image = self.cast<Image&>();
  const py::ssize_t w = image.width(), h = image.height();
  return py::array(py::dtype::of<uint8_t>(), {h, w, py::ssize_t{4}}, {4 * w, py::ssize_t{4}, py::ssize_t{1}},
                   reinterpret_cast<uint8_t*>(image.pixels().data()), self);
}

// The array protocol (np.asarray(image)): r, g, b as a read-only height x width x 3 view of
// the image's storage, strided over the alpha bytes. Read-only because it is a second way to
// the same pixels whose writes would be easy to miss; pixels is the writable view.
py::array rgbView(const py::object& self, const py::object& dtype, const py::object& copy) {
  Image& image = self.cast<Image&>();
  const py::ssize_t w = image.width(), h = image.height();
  py::array view(py::dtype::of<uint8_t>(), {h, w, py::ssize_t{3}}, {4 * w, py::ssize_t{4}, py::ssize_t{1}},
                 reinterpret_cast<uint8_t*>(image.pixels().data()), self);
  py::setattr(view.attr("flags"), "writeable", py::bool_(false));
  const bool copied = !copy.is_none() && copy.cast<bool>();
  if (!dtype.is_none()) return view.attr("astype")(dtype, py::arg("copy") = copied);
  return copied ? py::array(view.attr("copy")()) : view;
}

// to_array's mode and alpha: "RGB", or "RGBA" with the stored alpha bytes or 255.
py::array toArray(const Image& image, const std::string& mode, const std::string& alpha) {
  if (mode != "RGB" && mode != "RGBA") throw py::value_error("mode must be 'RGB' or 'RGBA', not '" + mode + "'");
  if (alpha != "stored" && alpha != "opaque") {
    throw py::value_error("alpha must be 'stored' (the image's alpha bytes) or 'opaque' (255), not '" + alpha + "'");
  }
  if (mode == "RGB" && alpha != "stored") throw py::value_error("alpha='" + alpha + "' is for mode 'RGBA'");
  const py::ssize_t w = image.width(), h = image.height(), channels = mode == "RGB" ? 3 : 4;
  py::array_t<uint8_t> out({h, w, channels});
  uint8_t* target = out.mutable_data();
  const auto* source = reinterpret_cast<const uint8_t*>(image.pixels().data());
  const auto count = static_cast<size_t>(w * h);
  {
    py::gil_scoped_release released;
    if (channels == 4) {
      std::memcpy(target, source, count * 4);
      if (alpha == "opaque") {
        for (size_t k = 0; k < count; ++k) target[4 * k + 3] = 255;
      }
    } else {
      for (size_t k = 0; k < count; ++k) std::memcpy(target + 3 * k, source + 4 * k, 3);
    }
  }
  return out;
}

// ---------------------------------------------------------------- operations
// The Image methods for operations are made from the library's registry (<bmpfun/operations.hpp>):
// one method per entry, named as in a chain with '_' for '-', its keywords the registry's
// argument names, its docstring the registry's summary. Integers are checked to fit 32 bits
// before the call, the call runs without the GIL, and a failure raises as every other call.

using ImageClass = py::class_<Image, std::unique_ptr<Image>>;
using bmpfun::Argument;
using bmpfun::Operation;

// The registry's entry that is the sampling property rather than a method.
constexpr std::string_view kSamplingEntry = "sampling";

std::string methodName(const Operation& op) {
  std::string name = op.name;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

// A value of the registry's own kind: integers as integers, for ranges and starts.
py::object number(const Argument& a, double value) {
  if (a.type == Argument::Type::integer) return py::int_(static_cast<int64_t>(value));
  return py::float_(value);
}

std::string numberText(const Argument& a, double value) {
  return py::str(number(a, value)).cast<std::string>();
}

// The registry's summary, then the arguments and the result in Python's terms.
std::string docstring(const Operation& op) {
  std::string doc = std::string(op.summary) + ".\n";
  for (const Argument& a : op.arguments) {
    const bool integer = a.type == Argument::Type::integer;
    doc += std::string("\n") + a.name + " (" + a.placeholder + "): " + (integer ? "int" : "float");
    if (!op.values.empty()) {
      for (size_t k = 0; k < op.values.size(); ++k) {
        doc += (k == 0 ? ": " : ", ") + std::to_string(op.values[k].value) + " " + op.values[k].name;
      }
    } else if (a.extent != Argument::Extent::none) {
      doc += ", within the image";
    } else {
      doc += ", useful from " + numberText(a, a.low) + " to " + numberText(a, a.high);
    }
    doc += integer ? "; ValueError unless it fits 32 bits." : ".";
  }
  doc += op.makesNewImage()
             ? "\nReturns a new Image; this one is left as it was. ValueError when the library refuses to make it "
               "(the message says why), MemoryError when its pixels cannot be allocated."
             : "\nChanges this image in place and returns None; MemoryError if it runs out of memory.";
  return doc;
}

// The Python type of an argument: int64_t for the registry's integers (checked to fit 32 bits,
// as pybind11 takes any Python int), double for its reals.
template <typename T>
constexpr Argument::Type kTypeOf = std::is_same_v<T, double> ? Argument::Type::real : Argument::Type::integer;

template <typename T>
double argumentValue(T value, const Argument& a) {
  if constexpr (std::is_same_v<T, double>) {
    return value;
  } else {
    return int32Arg(value, a.name);
  }
}

template <typename... Ts, size_t... K>
void bindOperation(ImageClass& cls, const Operation& op, std::index_sequence<K...>) {
  const std::string name = methodName(op);
  const std::string doc = docstring(op);
  const Operation* entry = &op;
  if (op.makesNewImage()) {
    cls.def(
        name.c_str(),
        [entry, name](const Image& image, Ts... values) {
          const std::array<double, sizeof...(Ts)> arguments{argumentValue(values, entry->arguments[K])...};
          Status status;
          std::unique_ptr<Image> made;
          {
            py::gil_scoped_release released;
            made = entry->make(image, arguments, &status);
          }
          if (!made && status.ok()) status.cause = Cause::outOfMemory;  // as the registry's run says it
          return madeOrRaise(std::move(made), status, name);
        },
        py::arg(op.arguments[K].name)..., doc.c_str());
  } else {
    cls.def(
        name.c_str(),
        [entry, name](Image& image, Ts... values) {
          const std::array<double, sizeof...(Ts)> arguments{argumentValue(values, entry->arguments[K])...};
          Status status;
          {
            py::gil_scoped_release released;
            status = entry->inPlace(image, arguments);
          }
          if (!status.ok()) raiseStatus(status, name);
        },
        py::arg(op.arguments[K].name)..., doc.c_str());
  }
}

// Binds op when its arguments are of the types Ts, in order.
template <typename... Ts>
bool bindIfArguments(ImageClass& cls, const Operation& op) {
  constexpr std::array<Argument::Type, sizeof...(Ts)> types{kTypeOf<Ts>...};
  if (!std::equal(types.begin(), types.end(), op.arguments.begin(), op.arguments.end(),
                  [](Argument::Type t, const Argument& a) { return t == a.type; })) {
    return false;
  }
  bindOperation<Ts...>(cls, op, std::index_sequence_for<Ts...>{});
  return true;
}

void bindOperations(ImageClass& cls) {
  for (const Operation& op : bmpfun::operations()) {
    if (op.name == kSamplingEntry) continue;  // the sampling property
    using I = int64_t;
    const bool bound = bindIfArguments<>(cls, op) || bindIfArguments<I>(cls, op) ||
                       bindIfArguments<double>(cls, op) || bindIfArguments<double, double>(cls, op) ||
                       bindIfArguments<I, I, I, I>(cls, op);
    if (!bound) {
      throw std::runtime_error(std::string("bmpfun: the arguments of the operation '") + op.name +
                               "' have types this module does not bind");
    }
  }
}

// The image measure an argument's range follows (crop's), in words; empty for none.
const char* extentName(Argument::Extent extent) {
  switch (extent) {
    case Argument::Extent::none: break;
    case Argument::Extent::column: return "column";
    case Argument::Extent::row: return "row";
    case Argument::Extent::width: return "width";
    case Argument::Extent::height: return "height";
  }
  return "";
}

// The registry as plain tuples; the package makes them bmpfun.Operation and bmpfun.Argument.
py::tuple operationsData() {
  py::list entries;
  for (const Operation& op : bmpfun::operations()) {
    py::list arguments, values;
    for (const Argument& a : op.arguments) {
      arguments.append(py::make_tuple(a.name, a.type == Argument::Type::integer ? "int" : "float", number(a, a.low),
                                      number(a, a.high), number(a, a.step), number(a, a.start),
                                      extentName(a.extent)));
    }
    for (const bmpfun::NamedValue& v : op.values) values.append(py::make_tuple(v.value, v.name));
    entries.append(py::make_tuple(op.name, methodName(op), op.summary, py::tuple(arguments), py::tuple(values),
                                  op.makesNewImage(), op.splitsOverThreads, op.drawsRandomNumbers));
  }
  return py::tuple(entries);
}

std::string samplingDoc() {
  const Operation* op = bmpfun::findOperation(kSamplingEntry);
  return std::string(op != nullptr ? op->summary : "resampling method") +
         ".\n\nPOINT, BILINEAR and GAUSSIAN name the three; any number that fits 32 bits is taken (ValueError "
         "otherwise). New images start at 0.";
}

// bmpfun.Sampling, an IntEnum of the registry's sampling methods (POINT, BILINEAR, GAUSSIAN),
// made once at import.
py::object samplingEnum() {
  return py::module_::import("bmpfun._bmpfun").attr("Sampling");
}

py::object makeSamplingEnum() {
  py::list members;
  for (const bmpfun::NamedValue& v : bmpfun::samplingMethods()) {
    std::string name = v.name;
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    members.append(py::make_tuple(name, v.value));
  }
  return py::module_::import("enum").attr("IntEnum")("Sampling", members, py::arg("module") = "bmpfun");
}

bool namesSampling(int32_t method) {
  const auto methods = bmpfun::samplingMethods();
  return std::any_of(methods.begin(), methods.end(), [&](const bmpfun::NamedValue& v) { return v.value == method; });
}

// The sampling property: the enum member when the number names one, else the number.
py::object samplingOf(const Image& image) {
  const int32_t method = image.samplingMethod();
  if (namesSampling(method)) return samplingEnum()(method);
  return py::int_(method);
}

std::string describe(const Image& image) {
  const int32_t method = image.samplingMethod();
  const std::string sampling = namesSampling(method)
                                   ? samplingEnum()(method).attr("name").cast<std::string>()
                                   : std::to_string(method);
  return "<bmpfun.Image " + std::to_string(image.width()) + " x " + std::to_string(image.height()) +
         ", sampling " + sampling + ", threads " + std::to_string(image.limits().threads) + ">";
}

// image.apply("sampling=1 fun=1 blur=3"): the chain as `bmpfun apply` parses and runs it,
// on a copy (with this image's sampling method and resolution, so that an all-in-place chain
// saves what the program writes); this image is never changed.
std::unique_ptr<Image> applyChain(const Image& self, const py::object& chain) {
  if (!py::isinstance<py::str>(chain)) {
    throw py::type_error("apply takes the chain as one str, e.g. 'sampling=1 fun=1 blur=3', not " + typeName(chain));
  }
  std::vector<bmpfun::Step> steps;
  std::string error;
  if (!bmpfun::parseChain(chain.cast<std::string>(), steps, error)) throw py::value_error(error);
  Status status;
  std::unique_ptr<Image> result;
  const bmpfun::Step* failed = nullptr;
  {
    py::gil_scoped_release released;
    result = Image::copyOf(self, &status);
    if (result) {
      result->sampling(self.samplingMethod());
      for (const bmpfun::Step& step : steps) {
        status = bmpfun::applyStep(step, result);
        if (!status.ok()) {
          failed = &step;
          break;
        }
      }
    }
  }
  if (!result) raiseStatus(status, "apply");
  if (failed != nullptr) raiseStatus(status, failed->token);
  return result;
}

// Pickling (how Dask and multiprocessing move images between processes): the size, the
// sampling method, the limits, every pixel, alpha included, and the resolution a save writes.
// Images come back through a module function, never through Image.__new__, which is refused
// (see below). A state of 7 fields (pickled before the resolution was kept) restores with
// the resolution unset.
py::tuple imageState(const Image& i) {
  const auto pixels = i.pixels();
  return py::make_tuple(i.width(), i.height(), i.samplingMethod(), i.limits().maxPixels, i.limits().threads,
                        i.limits().extended,
                        py::bytes(reinterpret_cast<const char*>(pixels.data()), pixels.size_bytes()),
                        i.xPixelsPerMeter(), i.yPixelsPerMeter());
}

std::unique_ptr<Image> restoreImage(const py::tuple& state) {
  if (state.size() != 7 && state.size() != 9) throw py::value_error("not a pickled bmpfun.Image");
  const Limits limits = makeLimits(state[3].cast<int64_t>(), state[4].cast<int64_t>(), state[5].cast<bool>());
  Status status;
  auto made = madeOrRaise(Image::create(int32Arg(state[0].cast<int64_t>(), "width"),
                                        int32Arg(state[1].cast<int64_t>(), "height"), limits, &status),
                          status, "unpickle");
  const std::string_view bytes = state[6].cast<std::string_view>();
  const auto pixels = made->pixels();
  if (bytes.size() != pixels.size_bytes()) throw py::value_error("not a pickled bmpfun.Image");
  std::memcpy(pixels.data(), bytes.data(), bytes.size());
  made->sampling(int32Arg(state[2].cast<int64_t>(), "sampling"));
  if (state.size() == 9) {
    made->setPixelsPerMeter(int32Arg(state[7].cast<int64_t>(), "resolution"),
                            int32Arg(state[8].cast<int64_t>(), "resolution"));
  }
  return made;
}

// An instance made by Image.__new__ would have no C++ image behind it (pybind11 leaves the
// storage unconstructed until an __init__ runs, and Image has none): every image comes from
// a factory, so __new__ and Image() refuse.
extern "C" PyObject* refuseNew(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "bmpfun.Image has no constructor: use bmpfun.load, Image.create or Image.from_array");
  return nullptr;
}

constexpr const char* kModuleDoc = R"doc(BMP images as NumPy arrays: load, filter, warp and save.

Images are RGBA, 8 bits per channel. ``Image.pixels`` is a writable height x width x 4
uint8 view of the image's own storage (no copy). The fourth byte is the library's stored
alpha, not opacity: a 24-bit file loads with 0 and saves drop it. ``np.asarray(image)``
gives r, g, b alone (a read-only view), the picture a saved file shows; ``to_array`` and
``to_pil`` take the channels and the alpha ("stored" or "opaque") as arguments.
Operations that keep the size change the image in place and return None; operations that
change it return a new Image; ``image.apply("sampling=1 fun=1")`` runs a chain on a copy.
Every load, save and operation runs without the GIL, so threads can work on images side by
side.

Failures raise: FileNotFoundError, PermissionError, IsADirectoryError (and other OSError)
for paths, with the system's errno, strerror and filename; bmpfun.Error (a ValueError) for a
file the reader refuses; MemoryError; and ValueError for arguments the library cannot use
(a path with a NUL character among them). A load that succeeds may warn:
bmpfun.TruncatedFileWarning (data ends early), bmpfun.LayoutWarning (the extended reader
used the default reader's layout). Nothing is printed.
)doc";

}  // namespace

PYBIND11_MODULE(_bmpfun, m) {
  m.doc() = kModuleDoc;
  m.attr("__version__") = BMPFUN_VERSION;
  m.attr("DEFAULT_MAX_PIXELS") = Limits::kDefaultMaxPixels;
  const py::object sampling = makeSamplingEnum();
  sampling.attr("__doc__") = "The resampling methods of Image.sampling (an IntEnum: ints are accepted too).";
  m.attr("Sampling") = sampling;
  m.attr("POINT") = sampling.attr("POINT");
  m.attr("BILINEAR") = sampling.attr("BILINEAR");
  m.attr("GAUSSIAN") = sampling.attr("GAUSSIAN");

  py::register_exception<RefusedFile>(m, "Error", PyExc_ValueError).doc() =
      "A file the BMP reader refuses (not a BMP file, an unsupported depth or compression, a "
      "size past max_pixels, ...). A subclass of ValueError.";
  py::register_exception_translator(&translateFailures);
  m.attr("TruncatedFileWarning") = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
      "bmpfun.TruncatedFileWarning",
      "A file whose pixel data or colour table ends before its headers say: it loads, with "
      "what did not arrive filled in.",
      PyExc_UserWarning, nullptr));
  m.attr("LayoutWarning") = py::reinterpret_steal<py::object>(PyErr_NewExceptionWithDoc(
      "bmpfun.LayoutWarning",
      "A file whose headers the extended reader's rules refuse but the default reader's take: "
      "it loads with the default reader's layout (load(..., extended=True) only).",
      PyExc_UserWarning, nullptr));
  m.attr("Error").attr("__module__") = "bmpfun";

  const auto defaultMax = Limits::kDefaultMaxPixels;

  py::class_<Image, std::unique_ptr<Image>> image(m, "Image", R"doc(An RGBA image.

Make one with bmpfun.load, Image.create or Image.from_array. Pixel (x, y) is
``pixels[y, x]``: x the column from 0 at the left, y the row from 0 at the top.)doc");

  image
      .def_static(
          "create",
          [](int64_t width, int64_t height, int64_t maxPixels, int64_t threads) {
            const Limits limits = makeLimits(maxPixels, threads, false);
            Status status;
            auto made = Image::create(int32Arg(width, "width"), int32Arg(height, "height"), limits, &status);
            return madeOrRaise(std::move(made), status, "create");
          },
          py::arg("width"), py::arg("height"), py::kw_only(), py::arg("max_pixels") = defaultMax,
          py::arg("threads") = 1,
          R"doc(A blank width x height image: every pixel (255, 255, 255, 0).

ValueError when a side is below 1 or width x height passes max_pixels; MemoryError when
the pixels cannot be allocated. threads: worker threads its operations may use: 1 (the
default) the caller's thread only, 0 one per core, n at most n; results never depend on
it. ValueError for a negative number.)doc")
      .def_static("from_array", &fromArray, py::arg("array"), py::kw_only(), py::arg("alpha") = py::none(),
                  py::arg("max_pixels") = defaultMax, py::arg("threads") = 1,
                  R"doc(A new image holding a copy of a height x width x 4 (r, g, b, a) or
height x width x 3 (r, g, b) uint8 array.

The alpha of a 3-channel array is the alpha keyword, 0 unless given: what a 24-bit file
loads with, so from_array(rgb) works in every operation exactly as the file would. The
library's alpha is a stored fourth byte, not opacity (saves drop it); pass alpha=255 for
pixels that other programs should see as opaque. A 4-channel array keeps its own alpha
(alpha= then raises ValueError).

Any memory layout: slices, transposes and reversed strides are read as they appear. Any
object NumPy reads without guessing (the buffer protocol, __array_interface__, a Pillow
image) is taken as np.asarray gives it; lists and tuples raise TypeError. ValueError for a
dtype other than uint8 or another shape. threads: worker threads its operations may use: 1
(the default) the caller's thread only, 0 one per core, n at most n; ValueError for a
negative number.)doc")
      .def_property_readonly("width", &Image::width, "Width in pixels.")
      .def_property_readonly("height", &Image::height, "Height in pixels.")
      .def_property_readonly("shape", [](const Image& i) { return py::make_tuple(i.height(), i.width(), 4); },
                             "(height, width, 4), the shape of pixels.")
      .def_property(
          "sampling", &samplingOf,
          [](Image& i, int64_t method) { i.sampling(int32Arg(method, "sampling")); },
          samplingDoc().c_str())
      .def_property_readonly("max_pixels", [](const Image& i) { return i.limits().maxPixels; },
                             "The largest image this image's operations may make.")
      .def_property_readonly("threads", [](const Image& i) { return i.limits().threads; },
                             "Worker threads this image's operations may use (1 the caller's thread only, 0 one per core).")
      .def_property_readonly("pixels", &pixelView, R"doc(The pixels as a writable height x width x 4
uint8 array (r, g, b, a) that shares the image's memory: writes show in the next operation,
and operations in place show in the array. The array keeps the image alive.

a is the library's stored alpha byte, not opacity: a 24-bit file loads with 0, the default
reader gives a 32-bit file's fourth byte, and saves drop it. np.asarray(image) gives the
r, g, b part alone (see __array__).)doc")
      .def("__array__", &rgbView, py::arg("dtype") = py::none(), py::kw_only(), py::arg("copy") = py::none(),
           R"doc(np.asarray(image): r, g, b as a read-only height x width x 3 uint8 view of the
image's storage (no copy; strided over the alpha bytes). The picture as a saved file shows
it: the alpha byte, which is not opacity, is left out, so PIL.Image.fromarray(np.asarray(image))
shows what save writes. np.array(image) gives a writable copy; pixels is the writable view
of all four channels; to_array chooses the channels and the alpha.)doc")
      .def("to_array", &toArray, py::arg("mode") = "RGBA", py::kw_only(), py::arg("alpha") = "stored",
           R"doc(A copy of the pixels as a new uint8 array: mode "RGBA" (the default) height x
width x 4, mode "RGB" height x width x 3. alpha (RGBA only): "stored" (the default) the
image's alpha bytes as they are, which are not opacity (a 24-bit file loads with 0, which
other libraries would show as transparent), or "opaque" (255). ValueError for other values.)doc")
      .def("copy", [](const Image& i) {
             Status status;
             return madeOrRaise(Image::copyOf(i, &status), status, "copy");
           }, "A new image with a copy of the pixels (sampling 0).")
      .def("__copy__", [](const Image& i) {
             Status status;
             return madeOrRaise(Image::copyOf(i, &status), status, "copy");
           })
      .def("__repr__", &describe)
      .def("__reduce__",
           [](const Image& i) {
             return py::make_tuple(py::module_::import("bmpfun").attr("_restore"),
                                   py::make_tuple(imageState(i)));
           })
      .def("save", &save, py::arg("path"), py::arg("bits") = 24, R"doc(Write an uncompressed BMP file.

path: a path (str or os.PathLike), or a file object with write() (opened "wb"), which gets
the bytes to_bytes gives. bits: 24 (the default; alpha dropped), or 1, 4, 8, 16, 32 or "32a":
the 24-bit file as `bmpfun convert FILE OUT BITS` changes it, byte for byte (1, 4 and 8 bits
map each pixel to the nearest colour of the default table; 32 writes the 24-bit file's
alpha as read back, 0, or 255 for an image loaded with extended=True; "32a" a 124-byte
header with an alpha mask, every pixel opaque). TypeError or ValueError for other bits.

A file at path is replaced only once the new one is complete. FileNotFoundError,
PermissionError, IsADirectoryError or another OSError with the system's errno when it
cannot be written (ENOSPC for a full disk; an existing file whose folder cannot hold the
temporary file is refused with that folder's errno); ValueError for a path with a NUL
character.)doc")
      .def("to_bytes", &toBytes, py::arg("bits") = 24, "The bytes save(path, bits) would write, as a bytes object.")
      .def("apply", &applyChain, py::arg("chain"), R"doc(The chain of operations, as `bmpfun apply`
takes it ("sampling=1 fun=1 blur=3"; names and arguments as bmpfun.operations() lists them),
run on a copy of this image: returns a new Image, and this one is never changed, whatever
the steps (Image.save of the result writes the program's bytes). ValueError with the
library's reason for a chain that does not parse (before anything runs) and for a step
that fails ("fun=3: ..."); MemoryError; TypeError for a chain that is not a str.)doc")
      .def(
          "sample",
          [](const Image& i, double x, double y) {
            const bmpfun::Pixel p = i.sample(x, y);
            return py::make_tuple(p.r, p.g, p.b, p.a);
          },
          py::arg("x"), py::arg("y"),
          R"doc((r, g, b, a) at the real position (x, y) under the sampling method; white
(255, 255, 255, 255) outside the image.)doc");
  bindOperations(image);

  reinterpret_cast<PyTypeObject*>(image.ptr())->tp_new = &refuseNew;
  PyType_Modified(reinterpret_cast<PyTypeObject*>(image.ptr()));
  m.def("_restore_image", &restoreImage, py::arg("state"), "Rebuild a pickled image.");
  m.def("_operations", &operationsData, "The operation registry as tuples (see bmpfun.operations).");

  m.def("load", &load, py::arg("source"), py::kw_only(), py::arg("max_pixels") = defaultMax,
        py::arg("extended") = false, py::arg("threads") = 1,
        R"doc(Read a BMP file into a new Image.

source is a path (str or os.PathLike), the file's bytes (bytes, bytearray, memoryview), or
a file object with read() opened in binary mode (read from its position to its end).
Alpha is the file's fourth byte at 32 bits, the colour table's at 1, 4 and 8 bits, 0 at 16
and 24 bits: a stored byte, not opacity (a 24-bit file has alpha 0 everywhere, and shows
opaque); np.asarray(image) and to_array("RGB") leave it out. max_pixels: refuse images of more pixels. extended: use the extended reader
(RLE, top-down, bit fields with alpha, OS/2 and 2-bit files), whose alpha is the opacity:
255 where the file has no alpha, 0 where it draws nothing.
threads: worker threads the image's operations may use: 1 (the default) the caller's thread
only, 0 one per core, n at most n; results never depend on it. ValueError for a negative
number.

FileNotFoundError, PermissionError, IsADirectoryError for paths that cannot be read (the
OSError's errno, strerror and filename set); ValueError for a path with a NUL character;
bmpfun.Error for a file the reader refuses; MemoryError. A file whose data ends early
loads with what is missing filled in, and a bmpfun.TruncatedFileWarning; a file the
extended reader reads with the default reader's layout gives a bmpfun.LayoutWarning.)doc");
  m.def("info", &info, py::arg("source"), py::kw_only(), py::arg("extended") = false,
        R"doc(The header fields `bmpfun info` prints, as a dict in file order: the 5 fields of
the file header and the 11 of the 40-byte info header (bfType first, biClrImportant last).
bmpfun.Error for a file that does not start with "BM"; past those two bytes nothing is
checked, and fields a short file does not reach keep their defaults. An OS/2 header
shorter than 40 bytes gives its own fields instead, as extended=True does: "header" (the
kind, e.g. "Windows V5 (124 bytes)", "OS/2 1.x (12 bytes)") and then every field that header
holds, with the masks and colour space (its tag) of the longer headers; bmpfun.Error for
headers cut short there. source is a path or the file's bytes; FileNotFoundError,
PermissionError, IsADirectoryError for paths that cannot be read; ValueError for a path
with a NUL character.)doc");
}
