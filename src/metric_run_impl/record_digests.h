// Content hashes of a table's records (see record_digests.cpp).
#pragma once

#include <nanobind/nanobind.h>

// (record hashes, input hashes) of `count` records. `columns` holds one list
// of cells per column in the canonical (sorted) order, `keys` each column's
// name as JSON text, `texts` whether a column's cells are already canonical
// JSON texts, `inputs` whether it is one of the input columns; `normalise`
// writes any other cell as canonical JSON text.
nanobind::object record_digests(nanobind::handle columns, nanobind::handle keys,
                                nanobind::handle texts, nanobind::handle inputs,
                                nanobind::handle normalise, Py_ssize_t count);
