/* A C program that links only nivra_sysid.o and nivra_utils.o, with no C++
 * runtime, and prints the system identifier. */
#include <stdio.h>
#include <string.h>

#include <nivra/nivra_sysid.h>
#include <nivra/nivra_utils.h>

int main(void) {
    SYSID_INFO info;
    char hex[9];
    const unsigned char bytes[2] = {0x0A, 0xFF};
    if (Nivra_GetSysID(&info) != 0 || info.count != 1 || strlen(info.id[0]) != 8) return 1;
    lc_bin2hexstr(hex, bytes, 2);
    if (strcmp(hex, "0AFF") != 0) return 2;
    printf("%s\n", info.id[0]);
    return 0;
}
