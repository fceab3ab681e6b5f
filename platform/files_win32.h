#ifndef ORV_PLATFORM_FILES_WIN32_H_
#define ORV_PLATFORM_FILES_WIN32_H_

// The decisions of the Windows file layer, as functions of their inputs, so
// that what only a real Windows volume can show (EFS, compression, ReFS file
// IDs, access lists Wine does not keep) is tested through what it is given.
#include <windows.h>

#include <cstdint>
#include <string>

// Whether a file with this security descriptor is kept from other users: 0
// when its owner is `currentUser`, SYSTEM or Administrators and every allow
// entry (of any type, conditional ones included) that grants reading,
// writing, appending, deleting, or the power to change the access list or
// owner, belongs to one of those three (or OWNER RIGHTS); EPERM for another
// owner; EACCES when another may, or when there is no access list at all;
// EIO when the descriptor cannot be read.
int32_t accessKeepsPrivate(PSECURITY_DESCRIPTOR descriptor, PSID currentUser);

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

#endif  // ORV_PLATFORM_FILES_WIN32_H_
