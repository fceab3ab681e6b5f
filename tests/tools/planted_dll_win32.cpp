// A DLL that someone who may write a program's folder plants there under
// the name of a system DLL: loaded, it ends the process at once with 77, so
// a test sees whether the program took it.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) ExitProcess(77);
  return TRUE;
}
