// nodeprint: prints this host's system identifier.
#include <cstdio>

#include <nivra/nivra_sysid.h>
#include "nodeprint.h"

int main(int argc, char **argv) {
    return nodeprint::run(argc, argv, stdin, stdout, Nivra_GetSysID);
}
