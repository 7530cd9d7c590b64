// The modules the operations use, imported into a module's namespace when
// the module loads. The first import that fails raises its own exception.
#pragma once

#include <nanobind/nanobind.h>

namespace velmar {

void set_global(nanobind::handle globals, const char *name, nanobind::handle value);

void import_modules(nanobind::handle globals);

}  // namespace velmar
