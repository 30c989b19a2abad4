#include "auth/auth_library.h"

#include <dlfcn.h>

#include <string>

#include "console.h"

namespace {

auth_library table;

template <typename Pointer>
void store(Pointer &slot, void *symbol) {
  slot = reinterpret_cast<Pointer>(symbol);
}

struct entry_point {
  const char *name;
  void (*bind)(void *symbol);
};

#define GMI_ENTRY_POINT(name) \
  { #name, [](void *symbol) { store(table.name, symbol); } }

// Resolution order is part of the contract: the first missing name is the
// one reported, and later ones stay unresolved.
const entry_point entry_points[] = {
    GMI_ENTRY_POINT(InitAuth),        GMI_ENTRY_POINT(IsValidGmi),
    GMI_ENTRY_POINT(IsValidGmiW),     GMI_ENTRY_POINT(CheckValidGmi),
    GMI_ENTRY_POINT(CheckValidGmiW),  GMI_ENTRY_POINT(SetBypassOption),
    GMI_ENTRY_POINT(CleanupAuth),     GMI_ENTRY_POINT(GetAuthVersion),
};

#undef GMI_ENTRY_POINT

}  // namespace

bool GetAPIs() {
  void *handle = dlopen("./libAuthSrv.so", RTLD_NOW | RTLD_GLOBAL);
  if (handle == nullptr) {
    console_line_flushed(std::string("error dlopen: ") + dlerror());
    return false;
  }
  for (const entry_point &entry : entry_points) {
    entry.bind(dlsym(handle, entry.name));
    if (const char *error = dlerror()) {
      console_line_flushed(std::string("error dlsym(") + entry.name + "): " +
                           error);
      return false;
    }
  }
  return true;
}

const auth_library &auth() { return table; }
