#ifndef ORV_PLATFORM_UTF16_WIN32_H_
#define ORV_PLATFORM_UTF16_WIN32_H_

#include <string>

// Text crosses into Windows as UTF-16 and comes back as UTF-8; the program
// holds UTF-8 throughout. Both conversions refuse what is not valid in the
// other form rather than replace it: a name is never mapped to another.

// `text` (UTF-8) as UTF-16 into *out. False for invalid UTF-8.
bool utf8ToWide(const char* text, std::wstring* out);

// `text` (UTF-16) as UTF-8 into *out. False for an unpaired surrogate.
bool wideToUtf8(const wchar_t* text, std::string* out);

#endif  // ORV_PLATFORM_UTF16_WIN32_H_
