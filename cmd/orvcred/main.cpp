#include "cmd/orvcred/orvcred.h"

int main(int argc, char** argv) { return orvcredMain(argc, argv); }
