/* orvcred: reading keystore.conf, protected values included, from C or C++.
 *
 *   orvcred_keystore* keystore = NULL;
 *   int rc = orvcred_open(NULL, NULL, &keystore);
 *   if (rc == ORVCRED_OK) {
 *     char* password = NULL;
 *     size_t length = 0;
 *     rc = orvcred_get(keystore, "pem.password", &password, &length);
 *     if (rc == ORVCRED_OK) { use(password, length); orvcred_free_value(password); }
 *     orvcred_close(keystore);
 *   }
 *   if (rc != ORVCRED_OK) fprintf(stderr, "%s\n", orvcred_error_text(rc));
 *
 * Threads: handles share no mutable state, so threads may each use their own
 * handle at the same time. One handle must not be used by two threads at
 * once. The library shows no messages and writes no trace of its own.
 */
#ifndef ORVCRED_H_
#define ORVCRED_H_

#include <stddef.h>

/* ORVCRED_API marks the functions the shared library exports; it hides
 * everything else. Windows needs dllimport in a program that uses the DLL,
 * dllexport while building it, and neither for a static link
 * (ORVCRED_STATIC). */
#if defined(_WIN32)
#if defined(ORVCRED_BUILDING)
#define ORVCRED_API __declspec(dllexport)
#elif defined(ORVCRED_STATIC)
#define ORVCRED_API
#else
#define ORVCRED_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define ORVCRED_API __attribute__((visibility("default")))
#else
#define ORVCRED_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An open keystore: its entries and the master keys of its initial key. */
typedef struct orvcred_keystore orvcred_keystore;

/* Result codes. Where the orvcred command meets the same failure, it exits
 * with the same number. */
enum {
  ORVCRED_OK = 0,
  ORVCRED_NOT_READABLE = 3,        /* a protected value that this key cannot read:
                                      protected under another key, or damaged */
  ORVCRED_MISSING_KEY = 4,         /* no entry of that key */
  ORVCRED_DUPLICATE_KEY = 5,       /* more than one entry of that key */
  ORVCRED_BAD_ARGUMENT = 6,        /* a null pointer where one is not allowed */
  ORVCRED_KEYSTORE_UNREADABLE = 12,/* the keystore file cannot be read, orvseal would
                                      refuse it, or its orvcred.keyfile entry cannot
                                      be used */
  ORVCRED_NO_LOCATION = 15,        /* no path given, and none can be determined */
  ORVCRED_NO_MEMORY = 66,
  ORVCRED_CRYPTO_FAILURE = 67,     /* the system's crypto library failed */
  ORVCRED_KEY_FILE_UNREADABLE = 80,/* the initial key file cannot be opened or read */
  ORVCRED_KEY_FILE_EMPTY = 81,
  ORVCRED_KEY_FILE_TOO_LARGE = 82, /* more than 4096 bytes */
  ORVCRED_KEY_FILE_EXPOSED = 83,   /* other users may read or change the initial key file */
  ORVCRED_KEY_FILE_FOREIGN = 84,   /* another user owns the initial key file */
  ORVCRED_BAD_ENVIRONMENT = 24     /* VKT_KEYSTORE_CONF, VKT_ORVCRED_KEYFILE or the home
                                      directory's variables hold no valid text */
};

/* Opens the keystore file at `keystore_path`; NULL means the file that
 * VKT_KEYSTORE_CONF names, else keystore.conf in the .vkt folder of the
 * user's home directory. The initial key comes from `key_file`; NULL means
 * the file that VKT_ORVCRED_KEYFILE names (any text), else the keystore's
 * orvcred.keyfile, else the built-in default key. The keystore is read as
 * orvseal reads it: a file that orvseal refuses (no text of its form, a
 * credential line with words between its key and '=') is refused, and so is
 * one whose orvcred.keyfile cannot be used (repeated, too long, or a line of
 * the file cannot be read) rather than read with the default key. A line
 * that is not key = value holds no entry; the others are read.
 * The file is read and parsed once, and the master key derived once for
 * each algorithm its protected values use (normally one; this takes a
 * moment by design); orvcred_get derives nothing. Nothing is kept of the
 * initial key itself, and no credential in plain text: a plaintext
 * credential of the file is held sealed under the handle's master key
 * (derived for it when no value of the file is protected) until
 * orvcred_get asks for it.
 * Returns ORVCRED_OK and stores a new handle in *handle, which the caller
 * releases with orvcred_close. On failure *handle is NULL (when `handle` is
 * not NULL) and nothing stays allocated. */
ORVCRED_API int orvcred_open(const char* keystore_path, const char* key_file,
                             orvcred_keystore** handle);

/* 1 when the handle reads with the built-in default key, which anyone who
 * has this library holds; 0 when its key came from a key file (or handle is
 * NULL). */
ORVCRED_API int orvcred_uses_default_key(const orvcred_keystore* handle);

/* The value of the entry `key` (its full name, "pem.password"), as the
 * configuration reader reads it: trimmed, ended where a comment begins (a
 * '#' after a blank). A protected value of a
 * credential key comes back as its plaintext. On ORVCRED_OK *value holds a
 * new NUL-terminated buffer of *length bytes (the NUL not counted), owned by
 * the caller and released with orvcred_free_value. On failure *value is
 * NULL and *length 0 (where those pointers are not NULL); the handle is
 * unchanged and stays usable. */
ORVCRED_API int orvcred_get(orvcred_keystore* handle, const char* key, char** value,
                            size_t* length);

/* Wipes and releases a value of orvcred_get; NULL is ignored. */
ORVCRED_API void orvcred_free_value(char* value);

/* Wipes the master keys and releases the handle and its entries; NULL is
 * ignored. */
ORVCRED_API void orvcred_close(orvcred_keystore* handle);

/* A short English text for a result code: a static string, never NULL. */
ORVCRED_API const char* orvcred_error_text(int code);

#ifdef __cplusplus
}
#endif

#endif /* ORVCRED_H_ */
