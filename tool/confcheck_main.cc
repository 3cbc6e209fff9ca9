// confcheck: checks configuration files and dumps what they define.
#include <cstdio>

#include "confcheck.h"

int main(int argc, char **argv) { return confcheck::run(argc, argv, stdin, stdout, stderr); }
