/* Loads the plugin named on the command line with dlopen and has it
 * describe a configuration file. */
#include <dlfcn.h>
#include <stdio.h>

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    void *plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (plugin == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    int (*describe)(const char *, char *, size_t);
    *(void **)&describe = dlsym(plugin, "plugin_describe");
    if (describe == NULL) return 1;
    char text[256];
    const int rc = describe(argv[2], text, sizeof text);
    puts(text);
    dlclose(plugin);
    return rc;
}
