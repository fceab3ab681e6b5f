// Windows file operations.
#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "platform/files_internal.h"

FILE* osOpenFile(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  if (fileFaultInjected(kFaultOpen)) return nullptr;
  // The runtime understands "N" (handle not inherited) itself.
  return std::fopen(path, mode);
}

int osSeekFile(FILE* stream, int64_t offset, int origin) {
  if (fileFaultInjected(kFaultRead)) return -1;
  return _fseeki64(stream, offset, origin) == 0 ? 0 : -1;
}

int64_t osTellFile(FILE* stream) {
  if (fileFaultInjected(kFaultRead)) return -1;
  return _ftelli64(stream);
}

int32_t osDeleteFile(const char* path) {
  if (fileFaultInjected(kFaultDelete)) return -1;
  return DeleteFileA(path) ? 0 : -1;
}

int32_t osRenameFile(const char* from, const char* to) {
  if (fileFaultInjected(kFaultRename)) return -1;
  return std::rename(from, to) == 0 ? 0 : -1;
}

namespace {

// Windows errors as errno values, so that callers see one kind of code.
int32_t errnoFromWindows(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_UNABLE_TO_REMOVE_REPLACED:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT_2:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BUFFER_OVERFLOW:
      return ENAMETOOLONG;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
    case ERROR_DIRECTORY:
      return EINVAL;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    default:
      return EIO;
  }
}

int32_t lastErrno() { return errnoFromWindows(GetLastError()); }

// The full path of `path`; the replace call refuses relative paths.
int32_t fullPath(const char* path, char* out, DWORD size) {
  DWORD length = GetFullPathNameA(path, size, out, nullptr);
  if (length == 0) return lastErrno();
  if (length >= size) return ENAMETOOLONG;
  return 0;
}

bool fileIdentity(const char* path, BY_HANDLE_FILE_INFORMATION* info, int32_t* error) {
  HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = lastErrno();
    return false;
  }
  bool ok = GetFileInformationByHandle(handle, info) != 0;
  *error = ok ? 0 : lastErrno();
  CloseHandle(handle);
  return ok;
}

// A security descriptor whose access list grants the current user, and only
// that user, full access; null when it cannot be built (the file then gets
// its folder's inherited access list). Release it with LocalFree.
PSECURITY_DESCRIPTOR ownerOnlyDescriptor() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  unsigned char buffer[256];
  DWORD size = 0;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  char* sid = nullptr;
  if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
      ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
    char sddl[256];
    std::snprintf(sddl, sizeof sddl, "D:P(A;;FA;;;%s)", sid);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
      descriptor = nullptr;
    }
    LocalFree(sid);
  }
  CloseHandle(token);
  return descriptor;
}

// Gives `to` the discretionary access control list of `from`.
int32_t copySecurity(const char* from, const char* to) {
  DWORD needed = 0;
  GetFileSecurityA(from, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  if (needed == 0) return lastErrno();
  void* descriptor = LocalAlloc(LPTR, needed);
  if (descriptor == nullptr) return ENOMEM;
  int32_t rc = 0;
  if (!GetFileSecurityA(from, DACL_SECURITY_INFORMATION, descriptor, needed, &needed) ||
      !SetFileSecurityA(to, DACL_SECURITY_INFORMATION, descriptor)) {
    rc = lastErrno();
  }
  LocalFree(descriptor);
  return rc;
}

}  // namespace

int32_t osSameFile(const char* first, const char* second, bool* same) {
  if (first == nullptr || second == nullptr || same == nullptr) return EINVAL;
  *same = false;
  BY_HANDLE_FILE_INFORMATION a;
  BY_HANDLE_FILE_INFORMATION b;
  int32_t error = 0;
  if (!fileIdentity(first, &a, &error)) return error == ENOENT ? 0 : error;
  if (!fileIdentity(second, &b, &error)) return error == ENOENT ? 0 : error;
  *same = a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
          a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  return 0;
}

int32_t osResolveLinks(const char* path, char* out, size_t size) {
  if (path == nullptr || out == nullptr || size == 0) return EINVAL;
  // Keystore files on Windows are not links; the path is used as given.
  size_t length = std::strlen(path);
  if (length >= size) return ENAMETOOLONG;
  std::memcpy(out, path, length + 1);
  return 0;
}

FILE* osCreatePrivateFile(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  if (fileFaultInjected(kFaultOpen)) return nullptr;
  if (!DeleteFileA(path) && GetLastError() != ERROR_FILE_NOT_FOUND) {
    errno = lastErrno();
    return nullptr;
  }
  // Owner only while it is written: a protected access list that grants the
  // current user full access and nobody else anything.
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  PSECURITY_DESCRIPTOR descriptor = ownerOnlyDescriptor();
  attributes.lpSecurityDescriptor = descriptor;
  HANDLE handle = CreateFileA(path, GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  int32_t error = handle == INVALID_HANDLE_VALUE ? lastErrno() : 0;
  if (descriptor != nullptr) LocalFree(descriptor);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = error;
    return nullptr;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_TEXT);
  if (fd < 0) {
    CloseHandle(handle);
    DeleteFileA(path);
    errno = EMFILE;
    return nullptr;
  }
  FILE* stream = _fdopen(fd, "w");
  if (stream == nullptr) {
    int saved = errno;
    _close(fd);
    DeleteFileA(path);
    errno = saved;
  }
  return stream;
}

FILE* osCreateNewPrivateFile(const char* path) {
  if (path == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  if (fileFaultInjected(kFaultOpen)) return nullptr;
  // Without the owner-only list the file would inherit its folder's, which
  // may let others read it.
  PSECURITY_DESCRIPTOR descriptor = ownerOnlyDescriptor();
  if (descriptor == nullptr) {
    errno = EACCES;
    return nullptr;
  }
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  HANDLE handle = CreateFileA(path, GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  int32_t error = handle == INVALID_HANDLE_VALUE ? lastErrno() : 0;
  LocalFree(descriptor);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = error;
    return nullptr;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    DeleteFileA(path);
    errno = EMFILE;
    return nullptr;
  }
  FILE* stream = _fdopen(fd, "wb");
  if (stream == nullptr) {
    int saved = errno;
    _close(fd);
    DeleteFileA(path);
    errno = saved;
  }
  return stream;
}

int32_t osSyncFile(FILE* stream) {
  if (stream == nullptr) return EINVAL;
  if (fileFaultInjected(kFaultFlush)) return errno;
  if (std::fflush(stream) != 0) return errno != 0 ? errno : EIO;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (handle == INVALID_HANDLE_VALUE || !FlushFileBuffers(handle)) return lastErrno();
  return 0;
}

int32_t osReplaceFile(const char* replacement, const char* target) {
  if (replacement == nullptr || target == nullptr) return EINVAL;
  if (fileFaultInjected(kFaultRename)) return errno;
  char fullReplacement[MAX_PATH + 1];
  char fullTarget[MAX_PATH + 1];
  if (int32_t rc = fullPath(replacement, fullReplacement, sizeof fullReplacement)) return rc;
  if (int32_t rc = fullPath(target, fullTarget, sizeof fullTarget)) return rc;
  // The replacement takes the target's access control list and attributes
  // first; then one rename replaces the target. (ReplaceFile would carry them
  // over itself, but some of its failures leave the target renamed away.)
  DWORD attributes = GetFileAttributesA(fullTarget);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (int32_t rc = copySecurity(fullTarget, fullReplacement)) return rc;
    DWORD kept = attributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                               FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_SYSTEM);
    if (!SetFileAttributesA(fullReplacement, kept == 0 ? FILE_ATTRIBUTE_NORMAL : kept)) {
      return lastErrno();
    }
  }
  if (!MoveFileExA(fullReplacement, fullTarget, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return lastErrno();
  }
  return 0;
}
