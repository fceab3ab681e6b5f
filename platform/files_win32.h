#ifndef ORV_PLATFORM_FILES_WIN32_H_
#define ORV_PLATFORM_FILES_WIN32_H_

// The decisions of the Windows file layer, as functions of their inputs, so
// that what only a real Windows volume can show (EFS, compression, ReFS file
// IDs, access lists Wine does not keep) is tested through what it is given;
// and what the path walk and the file calls share.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/paths.h"

// Whether the owner in `descriptor` may steer this process: the current
// user, SYSTEM or Administrators. OWNER RIGHTS as an owner is no account.
// Decides whether a link is followed, a trace file taken, a key file read.
bool ownerIsTrusted(PSECURITY_DESCRIPTOR descriptor, PSID currentUser);

// Whether a file with this security descriptor is kept from other users: 0
// when its owner is `currentUser`, SYSTEM or Administrators and every allow
// entry (of any type, conditional ones included) that grants reading,
// writing, appending, deleting, or the power to change the access list or
// owner, belongs to one of those three (or OWNER RIGHTS); EPERM for another
// owner; EACCES when another may, or when there is no access list at all;
// EIO when the descriptor cannot be read.
int32_t accessKeepsPrivate(PSECURITY_DESCRIPTOR descriptor, PSID currentUser);

// Whether the folder with this security descriptor keeps others from
// removing or replacing a key file in it: 0 when its owner and every allow
// entry that grants deleting what it holds (FILE_DELETE_CHILD), or the power
// to change its access list or owner (and so to grant that), belong to
// `currentUser`, SYSTEM or Administrators (or OWNER RIGHTS); EACCES
// otherwise, or without an access list; EIO when it cannot be read.
int32_t folderKeepsPrivate(PSECURITY_DESCRIPTOR folder, PSID currentUser);

// The access list that a file with `model`'s descriptor is subject to,
// every entry its own: inherited entries become explicit ones, entries
// that only pass to a folder's children are dropped, the order (which
// decides) is kept. Written into `acl`; *present is false when `model`
// has no access list at all (everyone may do anything). 0, EIO or ENOMEM.
int32_t effectiveAccessList(PSECURITY_DESCRIPTOR model, std::vector<unsigned char>* acl,
                            bool* present);

// How the side file takes the keystore's attributes.
struct AttributePlan {
  DWORD created;   // given at creation: EFS encryption can only be had then
  DWORD adopted;   // set through the handle before the rename, read-only included
  bool compress;   // compressed through the handle (FSCTL_SET_COMPRESSION)
};
AttributePlan planAttributes(DWORD keystoreAttributes);

// What identifies a file: the volume and 128-bit file ID, and the final path
// for file systems that give no ID (an ID of zero).
struct FileIdentity {
  FILE_ID_INFO id;
  std::wstring finalPath;
};
bool sameIdentity(const FileIdentity& first, const FileIdentity& second);

// How the replacement's failure reads: EBUSY when the target is in use by
// another process (a sharing or lock violation, or access denied although
// this process may delete the target), else the nearest errno.
int32_t replaceError(DWORD error, bool targetDeletable);

// Shared by the path walk and the file calls.

// A Windows error as the nearest errno.
int32_t errnoFromWindows(DWORD error);

// The final path of an open file ("C:\...", "\\server\...", or the "\\?\"
// form where only it names the file); empty on failure.
std::wstring finalPath(HANDLE handle);

// The current user's SID, copied into `buffer`; null when unknown.
PSID currentUserSid(unsigned char* buffer, DWORD size);

// Whether the file or folder open as `handle` (with READ_CONTROL) has a
// trusted owner (ownerIsTrusted): 0, EPERM, or EIO when it cannot be read.
int32_t handleOwnerTrusted(HANDLE handle);

// The path through which the calls reach `name` in `at`'s held folder (the
// "\\?\" form, so that every name is taken as it is; "\\.\NAME" for a DOS
// device name such as NUL); a null `name` gives the folder itself (a root
// as "\\?\C:\\"). EINVAL when `at` holds no folder or `name` holds a
// separator or stream part.
int32_t pathInFolder(const WalkedPath& at, const char* name, std::wstring* out);

#endif  // ORV_PLATFORM_FILES_WIN32_H_
