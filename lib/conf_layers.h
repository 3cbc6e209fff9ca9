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
    // Told (when not null) each entry that stands first under its name (the
    // main file's or a drop-in's) without being a file or a mask (an empty
    // file, a link to /dev/null): a dangling link, a directory, another
    // device.  It loads nothing and masks the name all the same, so it is
    // told once for each lower copy it keeps from loading (masked, in
    // priority order), or once with masked null when there is none.  Told
    // where the entry's turn to load would come.
    void (*stray)(void *arg, const char *path, const char *masked);
    void *arg;
};

// What a walk found besides the files it visited.
struct LayersFound {
    // Whether any directory has the name: a main file (of any kind) or a
    // drop-in directory.
    bool any = false;
    // When the walk failed with kErrOpen: the drop-in directory that cannot
    // be listed, from malloc (the caller frees it); null otherwise, and
    // when its copy could not be made.
    char *failed_path = nullptr;
};

// Whether name can be a layered configuration's name: not empty, "." or
// "..", and without "/".
bool layer_name_valid(const char *name);

// Finds the main file and the drop-ins (CONF_load_layered tells the rules)
// and hands them to the visitor.  Returns 0, the visitor's first non-zero
// result, kErrMemory, or kErrOpen when a drop-in directory exists but
// cannot be listed.  found, when not null, is filled as the walk goes.
int walk_layers(const char *const *dirs, size_t ndirs, const char *name,
                const LayerVisitor &visitor, LayersFound *found);

}  // namespace nivra::conf

#endif  // NIVRA_CONF_LAYERS_H
