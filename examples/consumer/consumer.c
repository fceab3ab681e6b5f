/* A program that reads its credentials from keystore.conf through the
 * orvcred library, written in plain C.
 *
 *   orvcred_consumer [-sf initial_key_file] keystore_file KEY...
 *
 * Build it with the CMakeLists.txt beside it, against an installed orvcred.
 *
 * Prints KEY=value for every KEY, protected values as their plaintext. A
 * real consumer hands the value to whatever needs it instead of printing
 * it. Exits 0, or with the first failing result code. */
#include <stdio.h>
#include <string.h>

#include "orvcred.h"

int main(int argc, char** argv) {
  const char* key_file = NULL;
  int first = 1;
  if (argc > 2 && strcmp(argv[1], "-sf") == 0) {
    key_file = argv[2];
    first = 3;
  }
  if (argc < first + 2) {
    fprintf(stderr, "usage: orvcred_consumer [-sf initial_key_file] keystore_file KEY...\n");
    return 10;
  }
  orvcred_keystore* keystore = NULL;
  int rc = orvcred_open(argv[first], key_file, &keystore);
  if (rc != ORVCRED_OK) {
    fprintf(stderr, "%s: %s\n", argv[first], orvcred_error_text(rc));
    return rc;
  }
  if (orvcred_uses_default_key(keystore)) {
    fprintf(stderr, "warning: the built-in default key is in use\n");
  }
  int status = ORVCRED_OK;
  for (int i = first + 1; i < argc; ++i) {
    char* value = NULL;
    size_t length = 0;
    rc = orvcred_get(keystore, argv[i], &value, &length);
    if (rc == ORVCRED_OK) {
      printf("%s=%.*s\n", argv[i], (int)length, value);
      orvcred_free_value(value);
    } else {
      fprintf(stderr, "%s: %s\n", argv[i], orvcred_error_text(rc));
      if (status == ORVCRED_OK) status = rc;
    }
  }
  orvcred_close(keystore);
  return status;
}
