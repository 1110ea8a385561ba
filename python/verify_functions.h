// The verifiers: an opening record or a set-operation transcript, as the
// Python documents `Tree.open` and `Tree.prove` return, checked on their own.
// A verifier answers False for any defect and never raises for a document.
#pragma once

#include "module.h"

namespace zarel::py {

PyObject* fn_verify_opening(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_verify_setop(PyObject* module, PyObject* args, PyObject* kwargs);

extern const char verify_opening_doc[];
extern const char verify_setop_doc[];

}  // namespace zarel::py
