// The nine module functions. Each binds its arguments, converts them, calls
// one library operation and converts its result or error.
#include "functions.h"

#include <optional>
#include <string>

#include "../sfnt/c2pa_table.h"
#include "../sfnt/manifest_operations.h"
#include "call_protocol.h"
#include "conversions.h"
#include "results.h"

namespace glyphward::module {
namespace {

constexpr FunctionSignature kEmbedManifestStore{"embed_manifest_store", {"font", "manifest_store"}, 2, 2};
constexpr FunctionSignature kEmbedRemote{"embed_remote", {"font", "uri"}, 2, 2};
constexpr FunctionSignature kReadManifestStore{"read_manifest_store", {"font"}, 1, 1};
constexpr FunctionSignature kReadManifestUriStr{"read_manifest_uri_str", {"font"}, 1, 1};
constexpr FunctionSignature kRemoveManifestTable{"remove_manifest_table", {"font"}, 1, 1};
constexpr FunctionSignature kIsCompliant{"is_compliant", {"font"}, 1, 1};
constexpr FunctionSignature kReserveManifestPlaceholder{
    "reserve_manifest_placeholder", {"font", "reserve_size", "uri"}, 3, 2};
constexpr FunctionSignature kDataHashRanges{"data_hash_ranges", {"font"}, 1, 1};
constexpr FunctionSignature kFillManifestStore{"fill_manifest_store", {"reserved_font", "signed_manifest"}, 2, 2};

PyObject* argument_failed(const char* parameter) {
  wrap_argument_error(parameter);
  return nullptr;
}

template <class T, class Convert>
PyObject* finish(const Result<T>& result, Convert convert) {
  if (!result) {
    raise_font_error(result.error());
    return nullptr;
  }
  return convert(*result);
}

// For operations that wrote their font into `out`.
PyObject* finish_written(const Result<ByteView>& result, BytesOutput& out) {
  return finish(result, [&](ByteView) { return out.take(); });
}

// Binds the arguments of a function whose only parameter is font bytes.
bool bind_font(const FunctionSignature& signature, PyObject* args, PyObject* kwargs, ByteView* font) {
  ParameterSlots slots;
  if (!bind_arguments(signature, args, kwargs, &slots)) return false;
  if (!extract_bytes(slots[0], font)) {
    argument_failed(signature.parameter_names[0]);
    return false;
  }
  return true;
}

PyObject* embed_manifest_store(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    ParameterSlots slots;
    if (!bind_arguments(kEmbedManifestStore, args, kwargs, &slots)) return nullptr;
    ByteView font;
    if (!extract_bytes(slots[0], &font)) return argument_failed("font");
    Bytes store;
    if (!extract_byte_sequence(slots[1], &store)) return argument_failed("manifest_store");
    ManifestSource source;
    source.manifest_store = ByteView(store);
    BytesOutput out;
    return finish_written(embed_manifest(font, source, out), out);
  });
}

PyObject* embed_remote(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    ParameterSlots slots;
    if (!bind_arguments(kEmbedRemote, args, kwargs, &slots)) return nullptr;
    ByteView font;
    if (!extract_bytes(slots[0], &font)) return argument_failed("font");
    std::string uri;
    if (!extract_text(slots[1], &uri)) return argument_failed("uri");
    ManifestSource source;
    source.active_manifest_uri = std::string_view(uri);
    BytesOutput out;
    return finish_written(embed_manifest(font, source, out), out);
  });
}

PyObject* read_manifest_store(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    ByteView font;
    if (!bind_font(kReadManifestStore, args, kwargs, &font)) return nullptr;
    return finish(glyphward::read_manifest_store(font), bytes_result);
  });
}

PyObject* read_manifest_uri_str(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    ByteView font;
    if (!bind_font(kReadManifestUriStr, args, kwargs, &font)) return nullptr;
    return finish(read_active_manifest_uri(font), optional_text_result);
  });
}

PyObject* remove_manifest_table(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    ByteView font;
    if (!bind_font(kRemoveManifestTable, args, kwargs, &font)) return nullptr;
    BytesOutput out;
    return finish_written(glyphward::remove_manifest_table(font, out), out);
  });
}

PyObject* is_compliant(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    ByteView font;
    if (!bind_font(kIsCompliant, args, kwargs, &font)) return nullptr;
    return finish(check_compliance(font), [](const ComplianceReport& report) {
      return bool_result(report.compliant());
    });
  });
}

PyObject* reserve_manifest_placeholder(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    ParameterSlots slots;
    if (!bind_arguments(kReserveManifestPlaceholder, args, kwargs, &slots)) return nullptr;
    ByteView font;
    if (!extract_bytes(slots[0], &font)) return argument_failed("font");
    uint64_t reserve_size;
    if (!extract_u64(slots[1], &reserve_size)) return argument_failed("reserve_size");
    std::optional<std::string> uri;
    if (!extract_optional_text(slots[2], &uri)) return argument_failed("uri");
    std::optional<std::string_view> uri_view;
    if (uri) uri_view = std::string_view(*uri);
    BytesOutput out;
    return finish_written(glyphward::reserve_manifest_placeholder(font, reserve_size, uri_view, out), out);
  });
}

PyObject* data_hash_ranges(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    ByteView font;
    if (!bind_font(kDataHashRanges, args, kwargs, &font)) return nullptr;
    return finish(glyphward::data_hash_ranges(font), ranges_result);
  });
}

PyObject* fill_manifest_store(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    ParameterSlots slots;
    if (!bind_arguments(kFillManifestStore, args, kwargs, &slots)) return nullptr;
    ByteView font;
    if (!extract_bytes(slots[0], &font)) return argument_failed("reserved_font");
    ByteView manifest;
    if (!extract_bytes(slots[1], &manifest)) return argument_failed("signed_manifest");
    BytesOutput out;
    return finish_written(glyphward::fill_manifest_store(font, manifest, out), out);
  });
}

template <PyObject* (*Function)(PyObject*, PyObject*, PyObject*)>
constexpr PyCFunction entry() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

}  // namespace

PyMethodDef kFunctionTable[] = {
    {"embed_manifest_store", entry<embed_manifest_store>(), METH_VARARGS | METH_KEYWORDS,
     "embed_manifest_store(font, manifest_store)\n--\n\n"
     "Embed a signed Manifest Store into a font's `C2PA` table."},
    {"embed_remote", entry<embed_remote>(), METH_VARARGS | METH_KEYWORDS,
     "embed_remote(font, uri)\n--\n\n"
     "Embed a remote manifest URI into a font's `C2PA` table."},
    {"read_manifest_store", entry<read_manifest_store>(), METH_VARARGS | METH_KEYWORDS,
     "read_manifest_store(font)\n--\n\n"
     "Read the embedded Manifest Store from a font."},
    {"read_manifest_uri_str", entry<read_manifest_uri_str>(), METH_VARARGS | METH_KEYWORDS,
     "read_manifest_uri_str(font)\n--\n\n"
     "Read the active manifest URI from a font, if present."},
    {"remove_manifest_table", entry<remove_manifest_table>(), METH_VARARGS | METH_KEYWORDS,
     "remove_manifest_table(font)\n--\n\n"
     "Remove the `C2PA` table from a font."},
    {"is_compliant", entry<is_compliant>(), METH_VARARGS | METH_KEYWORDS,
     "is_compliant(font)\n--\n\n"
     "Whether the font has a well-formed `C2PA` table with intact checksums."},
    {"reserve_manifest_placeholder", entry<reserve_manifest_placeholder>(), METH_VARARGS | METH_KEYWORDS,
     "reserve_manifest_placeholder(font, reserve_size, uri=None)\n--\n\n"
     "Reserve `reserve_size` bytes for a manifest, returning the font with a\n"
     "zero-filled placeholder."},
    {"data_hash_ranges", entry<data_hash_ranges>(), METH_VARARGS | METH_KEYWORDS,
     "data_hash_ranges(font)\n--\n\n"
     "The `c2pa.hash.data` exclusion ranges for a reserved font, as\n"
     "`[(start, length), ...]`."},
    {"fill_manifest_store", entry<fill_manifest_store>(), METH_VARARGS | METH_KEYWORDS,
     "fill_manifest_store(reserved_font, signed_manifest)\n--\n\n"
     "Fill a reserved font's Manifest Store with signed bytes (<= reserved size)."},
};

const size_t kFunctionCount = sizeof(kFunctionTable) / sizeof(kFunctionTable[0]);

}  // namespace glyphward::module
