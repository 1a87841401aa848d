// Reads back what Windows shows of a program under Properties > Details, and
// its application manifest, the way Explorer does: prints, in UTF-8, one
// "name=value" line per version item and then the manifest. Exit 1 when the
// program has no version resource or no manifest.
//   ReleaseCheck <exe>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {
std::string Utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string result(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], size, nullptr, nullptr);
  return result;
}

std::string FixedVersion(DWORD high, DWORD low) {
  return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." + std::to_string(HIWORD(low)) +
         "." + std::to_string(LOWORD(low));
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::wstring path(MAX_PATH, L'\0');
  path.resize(MultiByteToWideChar(CP_ACP, 0, argv[1], -1, &path[0], MAX_PATH));
  std::vector<char> data(GetFileVersionInfoSizeW(path.c_str(), nullptr));
  if (data.empty() || !GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data())) return 1;

  VS_FIXEDFILEINFO* fixed = nullptr;
  WORD* translation = nullptr;
  UINT size = 0;
  if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &size) ||
      !VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &size))
    return 1;
  std::printf("fixed FileVersion=%s\n", FixedVersion(fixed->dwFileVersionMS, fixed->dwFileVersionLS).c_str());
  std::printf("fixed ProductVersion=%s\n", FixedVersion(fixed->dwProductVersionMS, fixed->dwProductVersionLS).c_str());
  for (const wchar_t* name : {L"CompanyName", L"FileDescription", L"FileVersion", L"LegalCopyright", L"ProductName",
                              L"ProductVersion"}) {
    wchar_t query[128];
    swprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1], name);
    wchar_t* value = nullptr;
    if (VerQueryValueW(data.data(), query, reinterpret_cast<void**>(&value), &size))
      std::printf("%s=%s\n", Utf8(name).c_str(), Utf8(value).c_str());
  }

  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  HRSRC manifest = module ? FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)) : nullptr;
  if (manifest == nullptr) return 1;
  std::fwrite(LockResource(LoadResource(module, manifest)), 1, SizeofResource(module, manifest), stdout);
  return 0;
}
