// conf_layers.h - the files of a layered configuration, in the order they
// load.  Internal to the library; not installed.
#ifndef NIVRA_CONF_LAYERS_H
#define NIVRA_CONF_LAYERS_H

#include <cstddef>

namespace nivra::conf {

struct LayerVisitor {
    // Told each file to load, in order; a non-zero result ends the walk and
    // is returned.
    int (*file)(void *arg, const char *path);
    // Told (when not null) each file in a drop-in directory that is skipped
    // because its name does not end in ".conf".
    void (*ignored)(void *arg, const char *path);
    void *arg;
};

// Whether name can be a layered configuration's name: not empty, "." or
// "..", and without "/".
bool layer_name_valid(const char *name);

// Finds the main file and the drop-ins (CONF_load_layered tells the rules)
// and hands them to the visitor.  Returns 0, the visitor's first non-zero
// result, kErrMemory, or kErrOpen when a drop-in directory exists but
// cannot be listed (*failed_path, when not null, then gets a copy of its
// path from malloc, which the caller frees).
int walk_layers(const char *const *dirs, size_t ndirs, const char *name,
                const LayerVisitor &visitor, char **failed_path);

}  // namespace nivra::conf

#endif  // NIVRA_CONF_LAYERS_H
