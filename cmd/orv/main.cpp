#include "cmd/orv/orvseal.h"
#include "cmd/shell/entry.h"

ORV_PROGRAM_ENTRY(orvsealMain, "orvseal")
