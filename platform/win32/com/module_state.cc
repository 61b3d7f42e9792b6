// The component library's module handle, path and reference count.
#include "platform/win32/com/module_state.h"

#include <atomic>

namespace qv::com {
namespace {

HINSTANCE g_module = nullptr;
std::atomic<long> g_references{0};

}  // namespace

void SetModuleHandle(HINSTANCE module) { g_module = module; }

HINSTANCE ModuleHandle() { return g_module; }

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

void AddModuleReference() { ++g_references; }

void ReleaseModuleReference() { --g_references; }

bool ModuleInUse() { return g_references.load() != 0; }

}  // namespace qv::com
