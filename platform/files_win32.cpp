// Windows file operations. Paths arrive as UTF-8 and reach Windows as
// UTF-16 through the wide calls only, so no name is ever mapped to another.
// A file that a user names is reached through a walked path
// (platform/paths_win32.cpp): by the "\\?\" path of a held folder and the
// name, which the held folders keep meaning what was walked.
#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <fcntl.h>
#include <io.h>
#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/files_internal.h"
#include "platform/files_win32.h"
#include "platform/results.h"
#include "platform/utf16_win32.h"

// Windows errors as errno values, so that callers see one kind of code.
int32_t errnoFromWindows(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_UNABLE_TO_REMOVE_REPLACED:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT_2:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EBUSY;
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
    case ERROR_NO_UNICODE_TRANSLATION:
      return EINVAL;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_CANT_RESOLVE_FILENAME:
      return ELOOP;
    default:
      return EIO;
  }
}

// The final path of an open file in one of the forms GetFinalPathNameByHandle
// gives; empty on failure.
std::wstring finalPathAs(HANDLE handle, DWORD form) {
  std::wstring path(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                           FILE_NAME_NORMALIZED | form);
  if (length >= path.size()) {
    path.resize(length + 1);
    length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                       FILE_NAME_NORMALIZED | form);
  }
  if (length == 0 || length >= path.size()) return L"";
  path.resize(length);
  return path;
}

// The final path of an open file: "C:\..." and "\\server\..." where that form
// names it exactly; the "\\?\" form is kept for a name that only it can
// reach (a trailing dot or space), and a volume without a drive letter is
// named by its GUID ("\\?\Volume{...}\..."). Empty on failure.
std::wstring finalPath(HANDLE handle) {
  std::wstring path = finalPathAs(handle, VOLUME_NAME_DOS);
  if (path.empty()) return finalPathAs(handle, VOLUME_NAME_GUID);
  std::wstring plain = path.compare(0, 8, L"\\\\?\\UNC\\") == 0 ? L"\\" + path.substr(7)
                       : path.compare(0, 4, L"\\\\?\\") == 0 ? path.substr(4)
                                                          : path;
  // Parsing drops a trailing dot or space of a name (a final path holds no
  // "." or ".." names): such a path keeps its prefix.
  for (size_t at = 1; at <= plain.size(); ++at) {
    bool nameEnds = at == plain.size() || plain[at] == L'\\';
    if (nameEnds && (plain[at - 1] == L'.' || plain[at - 1] == L' ')) return path;
  }
  return plain;
}

// The current user's SID, copied into `buffer`; null when unknown.
PSID currentUserSid(unsigned char* buffer, DWORD size) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  DWORD needed = 0;
  bool ok = GetTokenInformation(token, TokenUser, buffer, size, &needed) != 0;
  CloseHandle(token);
  return ok ? reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid : nullptr;
}

namespace {

int32_t lastErrno() { return errnoFromWindows(GetLastError()); }

// A UTF-8 path as UTF-16; EINVAL for a text that is no valid UTF-8.
int32_t widePath(const char* path, std::wstring* out) {
  return utf8ToWide(path, out) && !out->empty() ? 0 : EINVAL;
}

HANDLE streamHandle(FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens what `path` names, links followed, for the given access, sharing
// everything; a folder too.
HANDLE openExisting(const std::wstring& path, DWORD access) {
  return CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Opens what stands at `path`, a link itself rather than what it points
// to, for the given access, sharing everything; a folder too.
HANDLE openAsItIs(const std::wstring& path, DWORD access) {
  return CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (valid()) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// A descriptor of GetSecurityInfo's, freed when it goes.
class ScopedDescriptor {
 public:
  ScopedDescriptor() = default;
  ~ScopedDescriptor() { LocalFree(descriptor_); }
  ScopedDescriptor(const ScopedDescriptor&) = delete;
  ScopedDescriptor& operator=(const ScopedDescriptor&) = delete;
  PSECURITY_DESCRIPTOR* out() { return &descriptor_; }
  PSECURITY_DESCRIPTOR get() const { return descriptor_; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

// A security descriptor whose protected access list grants the current user,
// and only that user, full access; null when it cannot be built. Release it
// with LocalFree.
PSECURITY_DESCRIPTOR ownerOnlyDescriptor() {
  unsigned char user[256];
  PSID sid = currentUserSid(user, sizeof user);
  char* text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidA(sid, &text)) return nullptr;
  char sddl[256];
  std::snprintf(sddl, sizeof sddl, "D:P(A;;FA;;;%s)", text);
  LocalFree(text);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return nullptr;
  }
  return descriptor;
}

// Gives the file open as `to` the access list of the file open as `from`,
// protected from inheritance or taking its folder's entries as `from`'s is;
// with `explicitOnly` (a new file in another folder, whose entries must not
// come from that folder), the access list `from` is subject to, every entry
// its own, protected: never wider, never narrower than the model's.
int32_t copySecurity(HANDLE from, HANDLE to, bool explicitOnly) {
  PACL dacl = nullptr;
  ScopedDescriptor source;
  if (GetSecurityInfo(from, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                      nullptr, source.out()) != ERROR_SUCCESS) {
    return EACCES;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(source.get(), &control, &revision);
  bool isProtected = explicitOnly || (control & SE_DACL_PROTECTED) != 0;
  std::vector<unsigned char> effective;
  if (explicitOnly) {
    bool present = false;
    if (int32_t rc = effectiveAccessList(source.get(), &effective, &present)) return rc;
    dacl = present ? reinterpret_cast<PACL>(effective.data()) : nullptr;
  }
  SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION |
                              (isProtected ? PROTECTED_DACL_SECURITY_INFORMATION
                                           : UNPROTECTED_DACL_SECURITY_INFORMATION);
  DWORD rc = SetSecurityInfo(to, SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr);
  return rc == ERROR_SUCCESS ? 0 : errnoFromWindows(rc);
}

// Gives the file open as `to` the owner of the file open as `from`: an
// administrator protecting another account's keystore must not take it
// over. Giving a file to another account needs the restore privilege,
// enabled here where the account holds it. False where it is refused.
bool copyOwner(HANDLE from, HANDLE to) {
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &privileges.Privileges[0].Luid)) {
      AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    CloseHandle(token);
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR source = nullptr;
  if (GetSecurityInfo(from, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &source) != ERROR_SUCCESS) {
    return false;
  }
  bool kept = SetSecurityInfo(to, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner, nullptr,
                              nullptr, nullptr) == ERROR_SUCCESS;
  LocalFree(source);
  return kept;
}

bool setAttributes(HANDLE handle, DWORD attributes) {
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
  return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) != 0;
}

// Marks the file open as `handle` for removal at its close; a read-only
// file is made writable first, or it could not be removed.
bool removeAtClose(HANDLE handle) {
  FILE_BASIC_INFO basic{};
  if (GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) &&
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
    setAttributes(handle, basic.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof disposition) != 0;
}

// Not in every SDK's headers: renaming with flags (Windows 10 1607 on).
constexpr FILE_INFO_BY_HANDLE_CLASS kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kRenameReplaceIfExists = 0x1;
constexpr DWORD kRenamePosixSemantics = 0x2;
constexpr DWORD kRenameIgnoreReadOnly = 0x40;

// Renames the file open as `handle` onto `target` (a full path), replacing
// it: with POSIX semantics (a target that others hold open with delete
// sharing is replaced all the same) and over the read-only attribute where
// the system has them. The Windows error, or 0.
DWORD renameByHandle(HANDLE handle, const std::wstring& target) {
  size_t nameBytes = target.size() * sizeof(wchar_t);
  std::string buffer(sizeof(FILE_RENAME_INFO) + nameBytes, '\0');
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(nameBytes);
  std::memcpy(info->FileName, target.c_str(), nameBytes);
  auto size = static_cast<DWORD>(buffer.size());
  // The flags share their place with the older call's ReplaceIfExists.
  DWORD flags = kRenameReplaceIfExists | kRenamePosixSemantics | kRenameIgnoreReadOnly;
  std::memcpy(buffer.data(), &flags, sizeof flags);
  if (SetFileInformationByHandle(handle, kFileRenameInfoEx, info, size)) return 0;
  DWORD error = GetLastError();
  if (error != ERROR_INVALID_PARAMETER && error != ERROR_INVALID_FUNCTION &&
      error != ERROR_NOT_SUPPORTED) {
    return error;
  }
  // Older systems and file systems: a plain replacing rename, which a
  // read-only target refuses; its attribute is lifted for the rename and put
  // back if the rename fails.
  flags = kRenameReplaceIfExists;
  std::memcpy(buffer.data(), &flags, sizeof flags);
  DWORD targetAttributes = GetFileAttributesW(target.c_str());
  bool readOnly = targetAttributes != INVALID_FILE_ATTRIBUTES &&
                  (targetAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  // Cleared by path, with no handle of ours left open on it: an open
  // handle would itself keep the rename from replacing the file.
  if (readOnly) SetFileAttributesW(target.c_str(), targetAttributes & ~FILE_ATTRIBUTE_READONLY);
  if (SetFileInformationByHandle(handle, FileRenameInfo, info, size)) return 0;
  error = GetLastError();
  if (readOnly) SetFileAttributesW(target.c_str(), targetAttributes);
  return error;
}

// Whether this process may remove `target`: then a refused replacement
// means that another process holds it.
bool mayDelete(const std::wstring& target) {
  HANDLE handle = CreateFileW(target.c_str(), DELETE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
  CloseHandle(handle);
  return true;
}

// How long a target that another process holds is tried again.
constexpr int kInUseTries = 20;
constexpr DWORD kInUsePauseMs = 50;

bool isInUse(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED;
}

// The identity of the open file: volume, file ID (zero where the file
// system gives none), size and the times of the last write and change.
int32_t identify(HANDLE handle, FileId* id, FILE_ID_INFO* idInfo) {
  *id = FileId{};
  FILE_ID_INFO info{};
  if (!GetFileInformationByHandleEx(handle, FileIdInfo, &info, sizeof info)) info = FILE_ID_INFO{};
  FILE_BASIC_INFO basic{};
  FILE_STANDARD_INFO standard{};
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
      !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) {
    return lastErrno();
  }
  id->words[0] = info.VolumeSerialNumber;
  std::memcpy(&id->words[1], info.FileId.Identifier, sizeof info.FileId.Identifier);
  // A volume serial number alone identifies nothing.
  if (id->words[1] == 0 && id->words[2] == 0) id->words[0] = 0;
  id->size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
  id->modified = basic.LastWriteTime.QuadPart;
  id->changed = basic.ChangeTime.QuadPart;
  if (idInfo != nullptr) *idInfo = info;
  return 0;
}

int32_t readIdentity(const char* path, FileIdentity* identity, bool* exists) {
  *exists = false;
  std::wstring wide;
  if (int32_t rc = widePath(path, &wide)) return rc;
  ScopedHandle handle(openExisting(wide, 0));
  if (!handle.valid()) {
    int32_t error = lastErrno();
    return error == ENOENT ? 0 : error;
  }
  *exists = true;
  if (!GetFileInformationByHandleEx(handle.get(), FileIdInfo, &identity->id,
                                    sizeof identity->id)) {
    identity->id = FILE_ID_INFO{};
  }
  identity->finalPath = finalPath(handle.get());
  return 0;
}

bool idKnown(const FILE_ID_INFO& id) {
  for (BYTE byte : id.FileId.Identifier) {
    if (byte != 0) return true;
  }
  return false;
}

// The allow entries, which grant; every other kind of entry denies, audits
// or labels, and grants nothing.
bool isAllowEntry(BYTE type) {
  return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_ALLOWED_COMPOUND_ACE_TYPE ||
         type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
         type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
}

// The SID of an allow entry; null for a layout that names none plainly.
PSID entrySid(void* ace) {
  auto* header = static_cast<ACE_HEADER*>(ace);
  switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
      return &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
      auto* object = static_cast<ACCESS_ALLOWED_OBJECT_ACE*>(ace);
      auto* at = reinterpret_cast<unsigned char*>(&object->ObjectType);
      if ((object->Flags & ACE_OBJECT_TYPE_PRESENT) != 0) at += sizeof(GUID);
      if ((object->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) != 0) at += sizeof(GUID);
      return at;
    }
    default:
      return nullptr;
  }
}

// The current user, SYSTEM or Administrators; OWNER RIGHTS stands for the
// owner, which must be one of them.
bool isTrusted(PSID sid, PSID currentUser) {
  if (sid == nullptr || !IsValidSid(sid)) return false;
  if (currentUser != nullptr && EqualSid(sid, currentUser)) return true;
  return IsWellKnownSid(sid, WinLocalSystemSid) ||
         IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
}

// The access list and owner of a descriptor; false when it cannot be read.
bool daclAndOwner(PSECURITY_DESCRIPTOR descriptor, BOOL* present, PACL* dacl, PSID* owner) {
  BOOL defaulted = FALSE;
  return descriptor != nullptr &&
         GetSecurityDescriptorDacl(descriptor, present, dacl, &defaulted) &&
         GetSecurityDescriptorOwner(descriptor, owner, &defaulted);
}

// Whether an allow entry that applies to the object itself grants any of
// `mask` to a SID that `trusted` does not accept: EACCES, EIO, or 0.
template <typename Trusted>
int32_t entriesGrantOnlyTrusted(PACL dacl, ACCESS_MASK mask, Trusted trusted) {
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* ace = nullptr;
    if (!GetAce(dacl, index, &ace)) return EIO;
    auto* header = static_cast<ACE_HEADER*>(ace);
    if (!isAllowEntry(header->AceType) || (header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    // Every allow layout keeps its mask right after the header.
    if ((reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask & mask) == 0) continue;
    if (!trusted(entrySid(ace))) return EACCES;
  }
  return 0;
}

// The security descriptor of the open file or folder, owner and access list.
int32_t descriptorOf(HANDLE handle, ScopedDescriptor* descriptor) {
  DWORD rc = GetSecurityInfo(handle, SE_FILE_OBJECT,
                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                             nullptr, nullptr, nullptr, descriptor->out());
  return rc == ERROR_SUCCESS ? 0 : EIO;
}

// The side file guarded against an interruption (osGuardSideFile), and the
// lock that the console handler and the commit take, so that the handler
// never removes a file the commit has renamed into place.
SRWLOCK guardLock = SRWLOCK_INIT;
HANDLE guardedHandle = INVALID_HANDLE_VALUE;
bool handlerInstalled = false;

// Lets go of the guard when it is on `handle`; the caller holds the lock.
void unguardLocked(HANDLE handle) {
  if (guardedHandle == handle) guardedHandle = INVALID_HANDLE_VALUE;
}

BOOL WINAPI onConsoleEvent(DWORD event) {
  // kInterrupted plus the number of the POSIX signal of the same meaning.
  int number = event == CTRL_C_EVENT       ? 2
               : event == CTRL_BREAK_EVENT ? 21
               : event == CTRL_CLOSE_EVENT ? 1
                                           : 0;
  if (number == 0) return FALSE;
  // Held until the process ends: a commit under way finishes first.
  AcquireSRWLockExclusive(&guardLock);
  if (guardedHandle != INVALID_HANDLE_VALUE) removeAtClose(guardedHandle);
  ExitProcess(static_cast<UINT>(kInterrupted + number));
}

}  // namespace

bool ownerIsTrusted(PSECURITY_DESCRIPTOR descriptor, PSID currentUser) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (descriptor == nullptr || !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) {
    return false;
  }
  return owner != nullptr && isTrusted(owner, currentUser) &&
         !IsWellKnownSid(owner, WinCreatorOwnerRightsSid);
}

int32_t accessKeepsPrivate(PSECURITY_DESCRIPTOR descriptor, PSID currentUser) {
  BOOL present = FALSE;
  PACL dacl = nullptr;
  PSID owner = nullptr;
  if (!daclAndOwner(descriptor, &present, &dacl, &owner)) return EIO;
  // Another owner could have chosen the key, and can always grant itself more.
  if (!ownerIsTrusted(descriptor, currentUser)) return EPERM;
  // No access list at all grants everyone everything.
  if (!present || dacl == nullptr) return EACCES;
  // Reading, changing or replacing the key, and the powers to grant oneself those.
  constexpr ACCESS_MASK kRevealing = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE |
                                     GENERIC_READ | GENERIC_WRITE | GENERIC_ALL | WRITE_DAC |
                                     WRITE_OWNER;
  return entriesGrantOnlyTrusted(dacl, kRevealing,
                                 [currentUser](PSID sid) { return isTrusted(sid, currentUser); });
}

int32_t folderKeepsPrivate(PSECURITY_DESCRIPTOR folder, PSID currentUser) {
  BOOL present = FALSE;
  PACL dacl = nullptr;
  PSID owner = nullptr;
  if (!daclAndOwner(folder, &present, &dacl, &owner)) return EIO;
  // The folder's owner may always grant itself the rest (OWNER RIGHTS in
  // its list stands for it). The key file's owner is one of these three
  // already: osCheckPrivate refuses any other.
  if (!ownerIsTrusted(folder, currentUser)) return EACCES;
  if (!present || dacl == nullptr) return EACCES;
  // Removing or renaming what the folder holds, and the powers to grant that.
  constexpr ACCESS_MASK kRemoving = FILE_DELETE_CHILD | GENERIC_ALL | WRITE_DAC | WRITE_OWNER;
  return entriesGrantOnlyTrusted(dacl, kRemoving,
                                 [currentUser](PSID sid) { return isTrusted(sid, currentUser); });
}

int32_t effectiveAccessList(PSECURITY_DESCRIPTOR model, std::vector<unsigned char>* acl,
                            bool* present) {
  acl->clear();
  *present = false;
  BOOL hasDacl = FALSE;
  PACL dacl = nullptr;
  BOOL defaulted = FALSE;
  if (model == nullptr || !GetSecurityDescriptorDacl(model, &hasDacl, &dacl, &defaulted)) {
    return EIO;
  }
  if (!hasDacl || dacl == nullptr) return 0;
  *present = true;
  acl->assign(dacl->AclSize < sizeof(ACL) ? sizeof(ACL) : dacl->AclSize, 0);
  auto* copy = reinterpret_cast<PACL>(acl->data());
  if (!InitializeAcl(copy, static_cast<DWORD>(acl->size()), dacl->AclRevision)) return EIO;
  constexpr BYTE kInheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE |
                                NO_PROPAGATE_INHERIT_ACE | INHERIT_ONLY_ACE | INHERITED_ACE;
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* ace = nullptr;
    if (!GetAce(dacl, index, &ace)) return EIO;
    auto* header = static_cast<ACE_HEADER*>(ace);
    // An entry only for what a folder holds grants nothing on the file.
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    std::vector<unsigned char> entry(static_cast<unsigned char*>(ace),
                                     static_cast<unsigned char*>(ace) + header->AceSize);
    reinterpret_cast<ACE_HEADER*>(entry.data())->AceFlags &= static_cast<BYTE>(~kInheritance);
    if (!AddAce(copy, dacl->AclRevision, MAXDWORD, entry.data(), header->AceSize)) return EIO;
  }
  return 0;
}

int32_t handleOwnerTrusted(HANDLE handle) {
  ScopedDescriptor descriptor;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, nullptr, nullptr,
                      nullptr, nullptr, descriptor.out()) != ERROR_SUCCESS) {
    return EIO;
  }
  unsigned char user[256];
  PSID currentUser = currentUserSid(user, sizeof user);
  if (currentUser == nullptr) return EIO;
  return ownerIsTrusted(descriptor.get(), currentUser) ? 0 : EPERM;
}

AttributePlan planAttributes(DWORD keystoreAttributes) {
  AttributePlan plan{};
  if (keystoreAttributes == INVALID_FILE_ATTRIBUTES) return plan;
  plan.created = keystoreAttributes & FILE_ATTRIBUTE_ENCRYPTED;
  plan.adopted = keystoreAttributes &
                 (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_READONLY);
  plan.compress = (keystoreAttributes & FILE_ATTRIBUTE_COMPRESSED) != 0;
  return plan;
}

bool sameIdentity(const FileIdentity& first, const FileIdentity& second) {
  if (idKnown(first.id) && idKnown(second.id)) {
    return first.id.VolumeSerialNumber == second.id.VolumeSerialNumber &&
           std::memcmp(&first.id.FileId, &second.id.FileId, sizeof first.id.FileId) == 0;
  }
  // Final paths differ only in case for one file on a case-insensitive volume.
  return !first.finalPath.empty() &&
         CompareStringOrdinal(first.finalPath.c_str(), -1, second.finalPath.c_str(), -1, TRUE) ==
             CSTR_EQUAL;
}

int32_t replaceError(DWORD error, bool targetDeletable) {
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return EBUSY;
  if (error == ERROR_ACCESS_DENIED && targetDeletable) return EBUSY;
  return errnoFromWindows(error);
}

bool osIsAbsolutePath(const char* path) {
  if (path == nullptr) return false;
  bool drive = ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
               path[1] == ':';
  return drive || path[0] == '\\' || path[0] == '/';
}

FILE* osOpenFile(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  if (fileFaultInjected(kFaultOpen)) return nullptr;
  std::wstring widePathText;
  std::wstring wideMode;
  if (widePath(path, &widePathText) != 0 || !utf8ToWide(mode, &wideMode)) {
    errno = EINVAL;
    return nullptr;
  }
  // The runtime understands "N" (handle not inherited) itself.
  FILE* stream = _wfopen(widePathText.c_str(), wideMode.c_str());
  if (stream == nullptr || mode[0] != 'r') return stream;
  // Only a regular file is read: a device (CON) or pipe would be waited on.
  if (GetFileType(streamHandle(stream)) != FILE_TYPE_DISK) {
    std::fclose(stream);
    errno = ENODEV;
    return nullptr;
  }
  return stream;
}


namespace {

// A FILE over a handle of ours, opened with `flags` (_O_RDONLY, _O_WRONLY)
// and `mode`; the handle is closed when no stream can be had.
FILE* streamOver(HANDLE handle, int flags, const char* mode) {
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    errno = EMFILE;
    return nullptr;
  }
  FILE* stream = _fdopen(fd, mode);
  if (stream == nullptr) {
    int saved = errno;
    _close(fd);
    errno = saved;
  }
  return stream;
}

// Whether the file open as `handle` is a link: a name-surrogate reparse point.
bool isLinkHandle(HANDLE handle, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) return true;
  return IsReparseTagNameSurrogate(tag.ReparseTag);
}

// Just before the file at `at`'s name is replaced: whether it still holds
// the file read, unchanged. Where the file system gives no ID, the final
// paths tell the files apart instead.
int32_t stillTheFileRead(const WalkedPath& at, const std::wstring& target,
                         const FileId* expected) {
  seamStep("commit");
  if (expected == nullptr) return 0;
  ScopedHandle handle(openAsItIs(target, FILE_READ_ATTRIBUTES));
  if (!handle.valid()) {
    int32_t error = lastErrno();
    return error == ENOENT ? ECANCELED : error;
  }
  FileId now;
  FileIdentity nowIdentity{};
  if (int32_t rc = identify(handle.get(), &now, &nowIdentity.id)) return rc;
  if (now.known() || expected->known()) return now == *expected ? 0 : ECANCELED;
  FileIdentity readIdentity{};
  nowIdentity.finalPath = finalPath(handle.get());
  if (!utf8ToWide(at.text, &readIdentity.finalPath)) return EINVAL;
  bool unchanged = now.size == expected->size && now.modified == expected->modified &&
                   now.changed == expected->changed;
  return unchanged && sameIdentity(nowIdentity, readIdentity) ? 0 : ECANCELED;
}

}  // namespace

FILE* osOpenForReading(const WalkedPath& at) {
  if (fileFaultInjected(kFaultOpen)) return nullptr;
  std::wstring path;
  if (int32_t rc = pathInFolder(at, at.name, &path)) {
    errno = rc;
    return nullptr;
  }
  // Delete shared: the replacement that follows renames over this file.
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = lastErrno();
    return nullptr;
  }
  FILE_BASIC_INFO basic{};
  int error = 0;
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    error = ENODEV;
  } else if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
    error = lastErrno();
  } else if (isLinkHandle(handle, basic.FileAttributes)) {
    error = ELOOP;  // a link put there since the walk
  } else if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    error = EISDIR;
  } else if ((basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A deduplicated or cloud file gives its content only when opened
    // through its reparse point; it must still be the file looked at.
    HANDLE through = CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    FileId first;
    FileId second;
    bool same = through != INVALID_HANDLE_VALUE && identify(handle, &first, nullptr) == 0 &&
                identify(through, &second, nullptr) == 0 &&
                (first.sameFile(second) || !first.known());
    CloseHandle(handle);
    handle = through;
    if (!same) error = through == INVALID_HANDLE_VALUE ? lastErrno() : ECANCELED;
  }
  if (error != 0) {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    errno = error;
    return nullptr;
  }
  FILE* stream = streamOver(handle, _O_RDONLY, "rb");
  if (stream == nullptr) return nullptr;
  // Unbuffered: no part of a secret stays in a buffer freed unwiped.
  std::setvbuf(stream, nullptr, _IONBF, 0);
  seamStep("opened");
  return stream;
}

FILE* osOpenDevice(const WalkedPath& at) {
  if (fileFaultInjected(kFaultOpen)) return nullptr;
  FileKind kind = FileKind::kMissing;
  std::wstring path;
  int32_t rc = pathInFolder(at, at.name, &path);
  if (rc == 0) rc = osFileKindAt(at, &kind);
  if (rc == 0 && kind != FileKind::kOther) rc = kind == FileKind::kMissing ? ENOENT : ENODEV;
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (rc == 0) {
    handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      // A folder opens without backup semantics as access denied.
      rc = GetLastError() == ERROR_ACCESS_DENIED ? ENODEV : lastErrno();
    } else if (GetFileType(handle) == FILE_TYPE_DISK) {
      CloseHandle(handle);
      rc = ENODEV;
    }
  }
  if (rc != 0) {
    errno = rc;
    return nullptr;
  }
  return streamOver(handle, _O_WRONLY, "wb");
}

int32_t osIdentifyFile(FILE* stream, FileId* id) {
  if (stream == nullptr || id == nullptr) return EINVAL;
  HANDLE handle = streamHandle(stream);
  if (handle == INVALID_HANDLE_VALUE) return EBADF;
  return identify(handle, id, nullptr);
}

int32_t osIdentifyAt(const WalkedPath& at, FileId* id, bool* exists) {
  if (id == nullptr || exists == nullptr) return EINVAL;
  *id = FileId{};
  *exists = false;
  std::wstring path;
  if (int32_t rc = pathInFolder(at, at.name, &path)) return rc;
  ScopedHandle handle(openAsItIs(path, FILE_READ_ATTRIBUTES));
  if (!handle.valid()) {
    int32_t error = lastErrno();
    return error == ENOENT ? 0 : error;
  }
  *exists = true;
  // A device has no identity of a file.
  if (GetFileType(handle.get()) != FILE_TYPE_DISK) return 0;
  return identify(handle.get(), id, nullptr);
}

int osSeekFile(FILE* stream, int64_t offset, int origin) {
  if (fileFaultInjected(kFaultRead)) return -1;
  return _fseeki64(stream, offset, origin) == 0 ? 0 : -1;
}

int64_t osTellFile(FILE* stream) {
  if (fileFaultInjected(kFaultRead)) return -1;
  return _ftelli64(stream);
}

int32_t osSameFile(const char* first, const char* second, bool* same) {
  if (first == nullptr || second == nullptr || same == nullptr) return EINVAL;
  *same = false;
  FileIdentity a{};
  FileIdentity b{};
  bool aExists = false;
  bool bExists = false;
  if (int32_t rc = readIdentity(first, &a, &aExists)) return rc;
  if (int32_t rc = readIdentity(second, &b, &bExists)) return rc;
  if (!aExists || !bExists) return 0;
  // Neither an ID nor a final path: whether they are one file is unknown.
  if ((!idKnown(a.id) || !idKnown(b.id)) && (a.finalPath.empty() || b.finalPath.empty())) {
    return EIO;
  }
  *same = sameIdentity(a, b);
  return 0;
}

int32_t osFileKindAt(const WalkedPath& at, FileKind* kind) {
  if (kind == nullptr) return EINVAL;
  *kind = FileKind::kMissing;
  std::wstring path;
  if (int32_t rc = pathInFolder(at, at.name, &path)) return rc;
  ScopedHandle handle(openAsItIs(path, FILE_READ_ATTRIBUTES));
  if (!handle.valid()) {
    int32_t error = lastErrno();
    return error == ENOENT ? 0 : error;
  }
  *kind = FileKind::kOther;
  // Device names (NUL, CON) open too; only a disk file can be regular.
  if (GetFileType(handle.get()) != FILE_TYPE_DISK) return 0;
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &basic, sizeof basic)) {
    return lastErrno();
  }
  bool regular = (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                 !isLinkHandle(handle.get(), basic.FileAttributes);
  if (regular) *kind = FileKind::kRegular;
  return 0;
}

int32_t osLinkCount(FILE* stream, uint32_t* count) {
  if (stream == nullptr || count == nullptr) return EINVAL;
  *count = 0;
  FILE_STANDARD_INFO standard{};
  if (!GetFileInformationByHandleEx(streamHandle(stream), FileStandardInfo, &standard,
                                    sizeof standard)) {
    return lastErrno();
  }
  *count = standard.NumberOfLinks;
  return 0;
}

FILE* osCreatePrivateFile(const WalkedPath& at, const char* name, FILE* model) {
  if (fileFaultInjected(kFaultOpen)) return nullptr;
  std::wstring path;
  if (int32_t rc = pathInFolder(at, name, &path)) {
    errno = rc;
    return nullptr;
  }
  // The model's attributes through its open handle, not its name.
  FILE_BASIC_INFO basic{};
  DWORD modelAttributes =
      model != nullptr && GetFileInformationByHandleEx(streamHandle(model), FileBasicInfo, &basic,
                                                       sizeof basic)
          ? basic.FileAttributes
          : INVALID_FILE_ATTRIBUTES;
  AttributePlan plan = planAttributes(modelAttributes);
  // Owner only while it is written: a protected access list that grants the
  // current user full access and nobody else anything. Without it the file
  // would take its folder's access list, so it is not created at all.
  PSECURITY_DESCRIPTOR descriptor = ownerOnlyDescriptor();
  if (descriptor == nullptr) {
    errno = EACCES;
    return nullptr;
  }
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
  // Every later step goes through this handle, so it carries their rights:
  // the keystore's access list (WRITE_DAC), attributes and compression, the
  // rename and the removal (DELETE). CREATE_NEW never touches a file that is
  // already there, nor follows a link that is.
  constexpr DWORD kRights = GENERIC_READ | GENERIC_WRITE | WRITE_DAC | WRITE_OWNER | DELETE;
  HANDLE handle = CreateFileW(path.c_str(), kRights, 0, &attributes, CREATE_NEW,
                              plan.created != 0 ? plan.created : FILE_ATTRIBUTE_NORMAL, nullptr);
  int32_t error = handle == INVALID_HANDLE_VALUE ? lastErrno() : 0;
  LocalFree(descriptor);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = error;
    return nullptr;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    removeAtClose(handle);
    CloseHandle(handle);
    errno = EMFILE;
    return nullptr;
  }
  FILE* stream = _fdopen(fd, "wb");
  if (stream == nullptr) {
    int saved = errno;
    removeAtClose(handle);
    _close(fd);
    errno = saved;
  }
  return stream;
}

int32_t osSyncFile(FILE* stream) {
  if (stream == nullptr) return EINVAL;
  if (fileFaultInjected(kFaultFlush)) return errno;
  if (std::fflush(stream) != 0) return errno != 0 ? errno : EIO;
  HANDLE handle = streamHandle(stream);
  if (handle == INVALID_HANDLE_VALUE) return EBADF;
  // A pipe, console or device has nothing to make durable.
  if (GetFileType(handle) != FILE_TYPE_DISK) return 0;
  if (!FlushFileBuffers(handle)) return lastErrno();
  return 0;
}

int32_t osAdoptPermissions(FILE* stream, FILE* modelStream, bool explicitOnly, bool* ownerKept,
                           bool* groupKept) {
  if (stream == nullptr || modelStream == nullptr || ownerKept == nullptr || groupKept == nullptr) {
    return EINVAL;
  }
  *ownerKept = true;
  *groupKept = true;  // Windows files have no group of POSIX's kind
  if (fileFaultInjected(kFaultRename)) return errno;
  HANDLE handle = streamHandle(stream);
  HANDLE model = streamHandle(modelStream);
  if (handle == INVALID_HANDLE_VALUE || model == INVALID_HANDLE_VALUE) return EBADF;
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(model, FileBasicInfo, &basic, sizeof basic)) {
    return lastErrno();
  }
  AttributePlan plan = planAttributes(basic.FileAttributes);
  // Through the open handles: the paths could name other files by now.
  if (int32_t rc = copySecurity(model, handle, explicitOnly)) return rc;
  *ownerKept = copyOwner(model, handle);
  if (plan.compress) {
    USHORT format = COMPRESSION_FORMAT_DEFAULT;
    DWORD returned = 0;
    if (!DeviceIoControl(handle, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0,
                         &returned, nullptr)) {
      return lastErrno();
    }
  }
  // An encrypted keystore must have given an encrypted side file.
  if (plan.created != 0) {
    FILE_BASIC_INFO own{};
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &own, sizeof own)) return lastErrno();
    if ((own.FileAttributes & plan.created) != plan.created) return EACCES;
  }
  // Read-only too: the rename that follows goes through this handle, and a
  // read-only file can still be renamed.
  if (!setAttributes(handle, plan.adopted)) return lastErrno();
  return 0;
}

int32_t osCommitFile(FILE* stream, const WalkedPath& at, const char* sideName,
                     const FileId* expected) {
  if (stream == nullptr || sideName == nullptr) return EINVAL;
  HANDLE handle = streamHandle(stream);
  std::wstring target;
  int32_t rc = fileFaultInjected(kFaultRename) ? errno : pathInFolder(at, at.name, &target);
  if (rc == 0) rc = stillTheFileRead(at, target, expected);
  // The guard's lock spans the rename: an interruption either removes the
  // side file before it or leaves the renamed file alone.
  AcquireSRWLockExclusive(&guardLock);
  DWORD error = ERROR_SUCCESS;
  // Another process that holds the target (a virus scanner, an indexer, a
  // backup) lets go of it within moments, as a rule. The held folder keeps
  // the target's path meaning the file walked to (Wine takes no root
  // folder handle in a rename, so the whole path is given).
  for (int attempt = 0; rc == 0 && attempt < kInUseTries; ++attempt) {
    error = renameByHandle(handle, target);
    if (error == ERROR_SUCCESS || !isInUse(error)) break;
    Sleep(kInUsePauseMs);
  }
  if (rc == 0 && error != ERROR_SUCCESS) {
    rc = replaceError(error, error == ERROR_ACCESS_DENIED && mayDelete(target));
  }
  if (rc != 0) removeAtClose(handle);
  unguardLocked(handle);
  ReleaseSRWLockExclusive(&guardLock);
  if (rc != 0) {
    osCloseFile(stream);
    return rc;
  }
  // The file's record now holds its new name; flushing the file writes that
  // record to disk with it. The keystore is replaced: nothing fails it now.
  FlushFileBuffers(handle);
  osCloseFile(stream);
  return 0;
}

int32_t osDiscardFile(FILE* stream, const WalkedPath& at, const char* sideName) {
  (void)at;
  if (stream == nullptr || sideName == nullptr) return EINVAL;
  int32_t rc = 0;
  HANDLE handle = streamHandle(stream);
  if (fileFaultInjected(kFaultDelete)) {
    rc = errno;
  } else if (!removeAtClose(handle)) {
    rc = lastErrno();
  }
  AcquireSRWLockExclusive(&guardLock);
  unguardLocked(handle);
  ReleaseSRWLockExclusive(&guardLock);
  osCloseFile(stream);
  return rc;
}

void osGuardSideFile(FILE* stream, const WalkedPath* at, const char* sideName) {
  (void)at;
  (void)sideName;
  AcquireSRWLockExclusive(&guardLock);
  guardedHandle = stream != nullptr ? streamHandle(stream) : INVALID_HANDLE_VALUE;
  if (!handlerInstalled && stream != nullptr) {
    handlerInstalled = SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
  }
  ReleaseSRWLockExclusive(&guardLock);
}

int32_t osCheckPrivate(FILE* file) {
  if (file == nullptr) return EINVAL;
  HANDLE handle = streamHandle(file);
  if (handle == INVALID_HANDLE_VALUE) return EBADF;
  ScopedDescriptor descriptor;
  if (int32_t rc = descriptorOf(handle, &descriptor)) return rc;
  unsigned char user[256];
  PSID currentUser = currentUserSid(user, sizeof user);
  return currentUser == nullptr ? EIO : accessKeepsPrivate(descriptor.get(), currentUser);
}

int32_t osCheckPrivateIn(FILE* file, const WalkedPath& at) {
  if (int32_t rc = osCheckPrivate(file)) return rc;
  // Whoever may remove the key file from its folder may put another there.
  std::wstring folderPath;
  if (int32_t rc = pathInFolder(at, nullptr, &folderPath)) return rc;
  ScopedHandle folder(openAsItIs(folderPath, READ_CONTROL));
  if (!folder.valid()) return lastErrno();
  ScopedDescriptor folderDescriptor;
  if (int32_t rc = descriptorOf(folder.get(), &folderDescriptor)) return rc;
  unsigned char user[256];
  PSID currentUser = currentUserSid(user, sizeof user);
  if (currentUser == nullptr) return EIO;
  return folderKeepsPrivate(folderDescriptor.get(), currentUser);
}

namespace {

constexpr int kFindDepth = 64;

// The names in `folder` that FindFirstFileEx gives for `pattern`, UTF-16.
int32_t namesIn(const std::wstring& folder, const std::wstring& pattern,
                std::vector<WIN32_FIND_DATAW>* found) {
  WIN32_FIND_DATAW data;
  HANDLE handle = FindFirstFileExW((folder + L"\\" + pattern).c_str(), FindExInfoBasic, &data,
                                   FindExSearchNameMatch, nullptr, 0);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? 0 : error == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
  }
  do {
    if (std::wcscmp(data.cFileName, L".") != 0 && std::wcscmp(data.cFileName, L"..") != 0) {
      found->push_back(data);
    }
  } while (FindNextFileW(handle, &data));
  FindClose(handle);
  return 0;
}

int32_t findIn(const std::wstring& folder, const std::string& path, const std::wstring& pattern,
               int depth, std::vector<std::string>* files) {
  std::vector<WIN32_FIND_DATAW> all;
  std::vector<WIN32_FIND_DATAW> matching;
  int32_t error = namesIn(folder, L"*", &all);
  if (error == 0) error = namesIn(folder, pattern, &matching);
  if (error != 0) return error;
  std::set<std::wstring> matches;
  for (const WIN32_FIND_DATAW& data : matching) matches.insert(data.cFileName);
  std::vector<std::pair<std::string, WIN32_FIND_DATAW>> entries;
  for (const WIN32_FIND_DATAW& data : all) {
    std::string name;
    if (!wideToUtf8(data.cFileName, &name)) continue;
    entries.emplace_back(name, data);
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [name, data] : entries) {
    // A link or junction is not followed.
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
    std::string child = path + "\\" + name;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      if (depth < kFindDepth) {
        error = findIn(folder + L"\\" + data.cFileName, child, pattern, depth + 1, files);
        if (error != 0) return error;
      }
    } else if (matches.count(data.cFileName) != 0) {
      files->push_back(child);
    }
  }
  return 0;
}

}  // namespace

int32_t osFindFiles(const char* folder, const char* pattern, std::vector<std::string>* files) {
  std::wstring wideFolder;
  std::wstring widePattern;
  if (!utf8ToWide(folder, &wideFolder) || !utf8ToWide(pattern, &widePattern)) return EINVAL;
  std::string path(folder);
  while (path.size() > 1 && (path.back() == '\\' || path.back() == '/')) {
    path.pop_back();
    wideFolder.pop_back();
  }
  DWORD attributes = GetFileAttributesW(wideFolder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return ENOENT;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ENOTDIR;
  return findIn(wideFolder, path, widePattern, 0, files);
}
