// Content hashes of a table's records, for the run record.
//
// Each record is written as a canonical JSON object (keys sorted, no spaces,
// UTF-8 with lone surrogates as their three bytes) and hashed with SHA-256;
// its hash is the first 128 bits as 32 hex digits. The same is done over the
// record's input columns alone. Texts, lists of texts, whole numbers,
// booleans and None are written here; any other cell is written by the
// caller's `normalise` function, so the text is always the canonical one.
#include "metric_run_impl/record_digests.h"

#include <string>
#include <string_view>
#include <vector>

#include "common/sha256.h"
#include "common/zlg.h"

namespace {

namespace nb = nanobind;

// A text's UTF-8 bytes; a lone surrogate is written as its three bytes.
std::string_view utf8_of(PyObject *text, nb::object &keeper) {
  Py_ssize_t size = 0;
  const char *bytes = PyUnicode_AsUTF8AndSize(text, &size);
  if (bytes) return {bytes, static_cast<std::size_t>(size)};
  // Only a surrogate (not encodable strictly) is written another way; any other failure stands.
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
  PyErr_Clear();
  keeper = nb::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  if (!keeper.is_valid()) throw nb::python_error();
  char *raw = nullptr;
  if (PyBytes_AsStringAndSize(keeper.ptr(), &raw, &size) != 0) throw nb::python_error();
  return {raw, static_cast<std::size_t>(size)};
}

// A text as a JSON string, escaped as the standard library's encoder escapes
// it with ensure_ascii off: quote, backslash and control characters only.
void append_quoted(std::string &out, PyObject *text) {
  static constexpr char kHex[] = "0123456789abcdef";
  nb::object keeper;
  std::string_view bytes = utf8_of(text, keeper);
  out.push_back('"');
  std::size_t plain_from = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    out.append(bytes.data() + plain_from, i - plain_from);  // the run of bytes written as they are
    plain_from = i + 1;
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        out += "\\u00";
        out.push_back(kHex[byte >> 4]);
        out.push_back(kHex[byte & 15]);
    }
  }
  out.append(bytes.data() + plain_from, bytes.size() - plain_from);
  out.push_back('"');
}

void append_text(std::string &out, PyObject *text) {
  nb::object keeper;
  out += utf8_of(text, keeper);
}

bool is_list_of_texts(PyObject *cell) {
  if (!PyList_CheckExact(cell)) return false;
  Py_ssize_t count = PyList_Size(cell);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!PyUnicode_CheckExact(PyList_GetItem(cell, i))) return false;
  }
  return true;
}

void append_cell(std::string &out, PyObject *cell, nb::handle normalise) {
  if (PyUnicode_CheckExact(cell)) {
    append_quoted(out, cell);
  } else if (cell == Py_None) {
    out += "null";
  } else if (cell == Py_True || cell == Py_False) {
    out += cell == Py_True ? "true" : "false";
  } else if (PyLong_CheckExact(cell)) {
    nb::object digits = nb::steal(PyObject_Str(cell));
    if (!digits.is_valid()) throw nb::python_error();
    append_text(out, digits.ptr());
  } else if (is_list_of_texts(cell)) {
    out.push_back('[');
    Py_ssize_t count = PyList_Size(cell);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (i > 0) out.push_back(',');
      append_quoted(out, PyList_GetItem(cell, i));
    }
    out.push_back(']');
  } else {
    nb::object written = normalise(nb::handle(cell));
    if (!PyUnicode_Check(written.ptr())) {
      throw nb::type_error("normalise must return the cell's canonical JSON text");
    }
    append_text(out, written.ptr());
  }
}

nb::str hash_text(const std::string &record) {
  static constexpr char kHex[] = "0123456789abcdef";
  zlg::Sha256Digest digest = zlg::sha256(record);
  char hex[32];
  for (int i = 0; i < 16; ++i) {
    hex[2 * i] = kHex[digest[i] >> 4];
    hex[2 * i + 1] = kHex[digest[i] & 15];
  }
  return nb::str(hex, sizeof hex);
}

}  // namespace

nb::object record_digests(nb::handle columns, nb::handle keys, nb::handle texts, nb::handle inputs,
                          nb::handle normalise, Py_ssize_t count) {
  Py_ssize_t width = PyList_Size(columns.ptr());
  if (width < 0 || PyList_Size(keys.ptr()) != width || PyList_Size(texts.ptr()) != width ||
      PyList_Size(inputs.ptr()) != width) {
    PyErr_Clear();
    throw nb::value_error("columns, keys, texts and inputs must be lists of one length");
  }
  std::vector<nb::object> cells;
  std::vector<std::string> prefixes;
  std::vector<bool> is_text, is_input;
  for (Py_ssize_t c = 0; c < width; ++c) {
    PyObject *column = PyList_GetItem(columns.ptr(), c);
    if (!PyList_CheckExact(column) || PyList_Size(column) != count) {
      throw nb::value_error("every column must be a list of one cell per record");
    }
    cells.push_back(nb::borrow(column));
    std::string prefix;
    append_text(prefix, PyList_GetItem(keys.ptr(), c));
    prefixes.push_back(prefix + ":");
    is_text.push_back(zlg::truthy(PyList_GetItem(texts.ptr(), c)));
    is_input.push_back(zlg::truthy(PyList_GetItem(inputs.ptr(), c)));
  }

  nb::list record_hashes = nb::steal<nb::list>(PyList_New(count));
  nb::list input_hashes = nb::steal<nb::list>(PyList_New(count));
  std::string record, given;
  for (Py_ssize_t row = 0; row < count; ++row) {
    record.assign("{");
    given.assign("{");
    for (Py_ssize_t c = 0; c < width; ++c) {
      std::size_t start = record.size();
      if (c > 0) record.push_back(',');
      record += prefixes[c];
      PyObject *cell = PyList_GetItem(cells[c].ptr(), row);
      if (is_text[c]) {
        append_text(record, cell);
      } else {
        append_cell(record, cell, normalise);
      }
      if (is_input[c]) {
        if (given.size() > 1) given.push_back(',');
        given.append(record, start + (c > 0 ? 1 : 0), std::string::npos);
      }
    }
    record.push_back('}');
    given.push_back('}');
    PyList_SetItem(record_hashes.ptr(), row, hash_text(record).release().ptr());
    PyList_SetItem(input_hashes.ptr(), row, hash_text(given).release().ptr());
  }
  return nb::make_tuple(record_hashes, input_hashes);
}
