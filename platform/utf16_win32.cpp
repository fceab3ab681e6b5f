#include "platform/utf16_win32.h"

#include <windows.h>

bool utf8ToWide(const char* text, std::wstring* out) {
  out->clear();
  if (text == nullptr) return false;
  if (text[0] == '\0') return true;
  int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (size <= 0) return false;
  out->resize(static_cast<size_t>(size));
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out->data(), size) != size) {
    out->clear();
    return false;
  }
  out->resize(static_cast<size_t>(size) - 1);
  return true;
}

bool wideToUtf8(const wchar_t* text, std::string* out) {
  out->clear();
  if (text == nullptr) return false;
  if (text[0] == L'\0') return true;
  int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, nullptr, 0, nullptr,
                                 nullptr);
  if (size <= 0) return false;
  out->resize(static_cast<size_t>(size));
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, out->data(), size, nullptr,
                          nullptr) != size) {
    out->clear();
    return false;
  }
  out->resize(static_cast<size_t>(size) - 1);
  return true;
}
