#include "cmd/orvcred/orvcred.h"
#include "cmd/shell/entry.h"

ORV_PROGRAM_ENTRY(orvcredMain, "orvcred")
