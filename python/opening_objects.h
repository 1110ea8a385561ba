// Opening records as the Python objects Tree.open returns and verify_opening
// takes, made and read directly: the JSON text between them and the core cost
// as much as the rest of an open and a verify together.
#pragma once

#include <optional>

#include "module.h"
#include "proof/opening.h"

namespace zarel::py {

// What json.loads(record.to_json_text()) gives: a new reference, or nullptr
// with the Python error set.
PyObject* opening_record_object(const OpeningRecord& record);

// The record OpeningRecord::read_plain would read from json.dumps(o), when `o`
// is built of exact dicts, lists, ints and ASCII strs the way
// opening_record_object builds it; nothing otherwise, leaving the decision to
// that road. Runs no Python code and leaves no Python error set.
std::optional<OpeningRecord> read_opening_record(PyObject* o);

}  // namespace zarel::py
