#include "cmd/orv/orvseal.h"

int main(int argc, char** argv) { return orvsealMain(argc, argv); }
