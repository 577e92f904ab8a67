#pragma once
// The bindings toolkit, everything every extension module needs, in one
// include: this module's names and BMOBJ (module_names.hpp), Et and error
// mapping (py_errors.hpp), GIL-free work (gil.hpp), the host's data root
// and clock (host.hpp), value conversions (py_args.hpp), the argument
// checker (arguments.hpp) and the secret mask (secrets.hpp).
#include "module_names.hpp"
#include "py_errors.hpp"
#include "gil.hpp"
#include "host.hpp"
#include "py_args.hpp"
#include "arguments.hpp"
#include "secrets.hpp"
