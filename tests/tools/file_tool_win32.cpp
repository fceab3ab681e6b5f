// What the end-to-end tests need of Windows that Python under Linux cannot
// do through Wine:
//   orvseal_file_tool hold PATH SHARE    opens PATH for reading with the share
//                                        mode SHARE (FILE_SHARE_* bits), says
//                                        "held", and keeps it open until its
//                                        standard input ends
//   orvseal_file_tool attributes PATH [VALUE]
//                                        sets PATH's attributes to VALUE (hex)
//                                        when given, then prints them in hex
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc >= 4 && std::wcscmp(argv[1], L"hold") == 0) {
    DWORD share = static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 0));
    HANDLE handle = CreateFileW(argv[2], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      std::printf("error %lu\n", GetLastError());
      return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    CloseHandle(handle);
    return 0;
  }
  if (argc >= 3 && std::wcscmp(argv[1], L"attributes") == 0) {
    if (argc >= 4 &&
        !SetFileAttributesW(argv[2], static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 16)))) {
      std::printf("error %lu\n", GetLastError());
      return 1;
    }
    DWORD attributes = GetFileAttributesW(argv[2]);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      std::printf("error %lu\n", GetLastError());
      return 1;
    }
    std::printf("%lx\n", attributes);
    return 0;
  }
  std::fprintf(stderr, "usage: orvseal_file_tool hold PATH SHARE | attributes PATH [VALUE]\n");
  return 2;
}
