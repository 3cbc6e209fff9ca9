// confedit: changes entries and sections of a configuration file in place,
// keeping every other byte.
#include <cstdio>

#include "confedit.h"

int main(int argc, char **argv) { return confedit::run(argc, argv, stdin, stdout, stderr); }
