#include "cu_module.h"

#include <dlfcn.h>
#include <string>
#include <unistd.h>

#include "cu_lib.h"
#include "cu_malloc.h"
#include "vor_path.h"

namespace {
constexpr char kUnit[] = "srclib\\cu_module";

// dlopen searches only the library paths for a name without '/'; configured module names
// are relative to the program's folder (the current directory), so a bare name that exists
// here is loaded from here.
std::string resolve(const char* path) {
  std::string p = vor::normalise_path(path);
  if (p.find('/') == std::string::npos && access(p.c_str(), F_OK) == 0) p = "./" + p;
  return p;
}
}  // namespace

cu_module* cu_module_open(const char* path) {
  if (!path) return nullptr;
  void* library = dlopen(resolve(path).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) return nullptr;
  auto* m = static_cast<cu_module*>(_cu_malloc(sizeof(cu_module), kUnit, __LINE__));
  char* copy = m ? cu_strdup(path) : nullptr;
  if (!copy) {
    _cu_free(m, kUnit, __LINE__);
    dlclose(library);
    return nullptr;
  }
  m->library = library;
  m->path = copy;
  return m;
}

void* cu_module_symbol(cu_module* m, const char* name) {
  if (!m || !name || !m->library) return nullptr;
  return dlsym(m->library, name);
}

void cu_module_close(cu_module* m) {
  if (!m) return;
  if (m->library) dlclose(m->library);
  _cu_free(m->path, kUnit, __LINE__);
  _cu_free(m, kUnit, __LINE__);
}
