// The checker's Python face: the classes Finding, Rule and CheckReport and the
// functions check, check_report and rules. The module body calls the two
// registrations at their places in its fixed order.
#pragma once

#include "py/toolkit.h"

namespace _vantrell::checker {

// Adds Finding, Rule and CheckReport, in that order.
bool register_classes(PyObject* module);

// Adds check, check_report and rules, in that order.
bool register_functions(PyObject* module);

} // namespace _vantrell::checker
