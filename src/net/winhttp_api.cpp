#include "net/winhttp_api.h"

#include "common/system_library.h"

namespace {

WinHttpApi api;
enum class LoadState { kNotTried, kLoaded, kMissing } state = LoadState::kNotTried;

bool Bind() {
  api.module = LoadSystemLibrary(L"winhttp.dll");
  if (!api.module) return false;
  bool complete = true;
#define VELKO_WINHTTP_BIND(name)                                                                \
  api.name = reinterpret_cast<decltype(api.name)>(                                              \
      reinterpret_cast<void*>(GetProcAddress(api.module, "WinHttp" #name)));                    \
  complete = complete && api.name != nullptr;
  VELKO_WINHTTP_FUNCTIONS(VELKO_WINHTTP_BIND)
#undef VELKO_WINHTTP_BIND
  return complete;
}

}  // namespace

bool LoadWinHttp() {
  if (state == LoadState::kNotTried) state = Bind() ? LoadState::kLoaded : LoadState::kMissing;
  return state == LoadState::kLoaded;
}

const WinHttpApi& WinHttp() { return api; }
