#include "platform/win32/Win32Impl.h"

namespace {
CopyDataHandler g_onCopyData = nullptr;
CloseHandler g_onClose = nullptr;

LRESULT CALLBACK HiddenWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COPYDATA:
      if (lParam != 0 && g_onCopyData != nullptr) {
        const COPYDATASTRUCT* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (g_onCopyData(cds->dwData, static_cast<const char*>(cds->lpData), cds->cbData)) return 1;
      }
      break;
    case WM_CLOSE:
      // DefWindowProc would destroy the window and leave the process running
      // without it; a close asks the bridge to end, which it does in order.
      if (g_onClose != nullptr) g_onClose(false);
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wParam != FALSE && g_onClose != nullptr) g_onClose(true);
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

struct EnumContext {
  WindowVisitor visitor;
  void* context;
};

BOOL CALLBACK EnumTrampoline(HWND window, LPARAM lParam) {
  const EnumContext* enumContext = reinterpret_cast<const EnumContext*>(lParam);
  enumContext->visitor(reinterpret_cast<WindowHandle>(window), enumContext->context);
  return TRUE;
}
}  // namespace

bool Win32PlatformImpl::AllowCopyDataFromLowerRights(WindowHandle window) {
  return ChangeWindowMessageFilterEx(ToWindow(window), WM_COPYDATA, MSGFLT_ALLOW, nullptr) != FALSE;
}

void Win32PlatformImpl::EnumWindows(WindowVisitor visitor, void* context) {
  EnumContext enumContext{visitor, context};
  ::EnumWindows(EnumTrampoline, reinterpret_cast<LPARAM>(&enumContext));
}

int Win32PlatformImpl::GetWindowText(WindowHandle window, char* buffer, int size) {
  return GetWindowTextA(ToWindow(window), buffer, size);
}

int Win32PlatformImpl::GetClassName(WindowHandle window, char* buffer, int size) {
  return GetClassNameA(ToWindow(window), buffer, size);
}

std::uint32_t Win32PlatformImpl::WindowProcessId(WindowHandle window) {
  DWORD processId = 0;
  if (GetWindowThreadProcessId(ToWindow(window), &processId) == 0) return 0;
  return processId;
}

std::uint32_t Win32PlatformImpl::RegisterWindowMessage(const char* name) { return RegisterWindowMessageA(name); }

WindowHandle Win32PlatformImpl::CreateHiddenWindow(const char* className, CopyDataHandler onCopyData,
                                                   CloseHandler onClose) {
  g_onCopyData = onCopyData;
  g_onClose = onClose;
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA windowClass;
  ZeroMemory(&windowClass, sizeof windowClass);
  windowClass.lpfnWndProc = HiddenWindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = className;
  RegisterClassA(&windowClass);
  HWND window = CreateWindowExA(0, className, "", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
  return reinterpret_cast<WindowHandle>(window);
}

void Win32PlatformImpl::DestroyWindow(WindowHandle window) { ::DestroyWindow(ToWindow(window)); }

bool Win32PlatformImpl::SendCopyData(WindowHandle target, WindowHandle from, std::uintptr_t tag, const char* data,
                                     std::uint32_t size, std::uint32_t timeoutMilliseconds) {
  COPYDATASTRUCT cds;
  cds.dwData = tag;
  cds.cbData = size;
  cds.lpData = const_cast<char*>(data);
  DWORD_PTR result = 0;
  return SendMessageTimeoutA(ToWindow(target), WM_COPYDATA, static_cast<WPARAM>(from), reinterpret_cast<LPARAM>(&cds),
                             SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT, timeoutMilliseconds, &result) != 0;
}

bool Win32PlatformImpl::WindowExists(WindowHandle window) { return IsWindow(ToWindow(window)) != 0; }
