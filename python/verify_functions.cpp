#include "verify_functions.h"

#include <optional>
#include <string>

#include "binder.h"
#include "opening_objects.h"
#include "proof/opening.h"
#include "proof/transcript.h"

namespace zarel::py {

namespace {

// A verifier's caller branches on its answer, so a document that does not even
// convert to JSON is False like any other defect, and so is one too large to
// read into the memory left: what was not checked is not proven. Exceptions
// outside Exception (KeyboardInterrupt, the internal failure) still propagate.
// `verify` takes the document's JSON text; `direct`, tried first, answers from
// the document's objects where it can read them as that text would be read.
template <class Verify, class Direct>
PyObject* verify_document(PyObject* module, PyObject* args, PyObject* kwargs, const char* function, const char* name,
                          Verify verify, Direct direct) {
  PyObject* o;
  PyObject* answer = call(state_of_module(module), args, kwargs, function, {{name, o}}, [&]() -> PyObject* {
    if (std::optional<bool> known = direct(o)) return PyBool_FromLong(*known);
    std::string text;
    if (!to_json_text(o, text)) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
      PyErr_Clear();
      Py_RETURN_FALSE;
    }
    return PyBool_FromLong(verify(text));
  });
  if (!answer && PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    Py_RETURN_FALSE;
  }
  return answer;
}

// A text that does not parse is not a document: False, like every other defect.
// The document goes as soon as the record is read from it.
template <class Record>
bool read_and_verify(const std::string& text) {
  std::optional<Record> record;
  {
    auto doc = parse_json(text);
    if (!doc) return false;
    ReleaseJson release(*doc);
    auto r = Record::from_json(*doc);
    if (!r) return false;
    record.emplace(std::move(r).value());
  }
  return record->verify();
}

}  // namespace

const char verify_opening_doc[] =
    "verify_opening(record)\n--\n\n"
    "Verify an opening record (as returned by `Tree.open`). `False` on any defect; never raises.";

PyObject* fn_verify_opening(PyObject* module, PyObject* args, PyObject* kwargs) {
  return verify_document(
      module, args, kwargs, "verify_opening", "record",
      [](const std::string& text) {
        if (auto r = OpeningRecord::read_plain(text)) return r->verify();
        return read_and_verify<OpeningRecord>(text);
      },
      // A record as Tree.open made it is read straight from its objects.
      [](PyObject* o) -> std::optional<bool> {
        if (auto r = read_opening_record(o)) return r->verify();
        return std::nullopt;
      });
}

const char verify_setop_doc[] =
    "verify_setop(proof)\n--\n\n"
    "Verify a set-operation transcript (as returned by `Tree.prove`). `False` on any defect, a document that\n"
    "does not convert to JSON included; never raises.";

PyObject* fn_verify_setop(PyObject* module, PyObject* args, PyObject* kwargs) {
  return verify_document(module, args, kwargs, "verify_setop", "proof",
                         [](const std::string& text) { return read_and_verify<SetOpProof>(text); },
                         [](PyObject*) { return std::optional<bool>(); });
}

}  // namespace zarel::py
