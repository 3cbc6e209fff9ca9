// peers.h - the configuration loaders measured side by side.
//
// Each peer loads a file (Load), answers a lookup of one entry (Get, which
// returns the value's length or -1 when absent, Value for checking), and
// releases what it built (Release).  Parse-only peers store nothing.
#ifndef NIVRA_BENCH_PEERS_H
#define NIVRA_BENCH_PEERS_H

#include <ini.h>
#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include <nivra/conf.h>
#include "workload.h"

namespace bench {

struct Ours {
    static constexpr const char *kName = "nivra CONF";
    static constexpr bool kStores = true;
    static constexpr bool kExpands = true;
    CONF_CTX *ctx = nullptr;
    size_t entries = 0;
    bool Load(const std::string &path) {
        ctx = CONF_new();
        return ctx != nullptr && CONF_load(ctx, path.c_str()) == 0;
    }
    long Get(const Entry &e) {
        const char *v = CONF_get_string(ctx, e.section.c_str(), e.name.c_str());
        return v != nullptr ? static_cast<long>(std::strlen(v)) : -1;
    }
    std::optional<std::string> Value(const Entry &e) {
        const char *v = CONF_get_string(ctx, e.section.c_str(), e.name.c_str());
        return v != nullptr ? std::optional<std::string>(v) : std::nullopt;
    }
    void Release() {
        CONF_free(ctx);
        ctx = nullptr;
    }
};

struct InihParseOnly {
    static constexpr const char *kName = "inih parse-only";
    static constexpr bool kStores = false;
    static constexpr bool kExpands = false;
    size_t entries = 0;
    static int Handler(void *user, const char *, const char *, const char *) {
        ++static_cast<InihParseOnly *>(user)->entries;
        return 1;
    }
    bool Load(const std::string &path) { return ini_parse(path.c_str(), Handler, this) == 0; }
    void Release() { entries = 0; }
};

struct InihMap {
    static constexpr const char *kName = "inih + unordered_map";
    static constexpr bool kStores = true;
    static constexpr bool kExpands = false;
    std::unordered_map<std::string, std::string> map;
    size_t entries = 0;
    static std::string Key(std::string_view section, std::string_view name) {
        std::string k;
        k.reserve(section.size() + name.size() + 1);
        k.append(section).push_back('\x1f');
        k.append(name);
        return k;
    }
    static int Handler(void *user, const char *section, const char *name, const char *value) {
        auto *self = static_cast<InihMap *>(user);
        self->map[Key(section, name)] = value;
        ++self->entries;
        return 1;
    }
    bool Load(const std::string &path) { return ini_parse(path.c_str(), Handler, this) == 0; }
    long Get(const Entry &e) {
        auto it = map.find(Key(e.section, e.name));
        return it != map.end() ? static_cast<long>(it->second.size()) : -1;
    }
    std::optional<std::string> Value(const Entry &e) {
        auto it = map.find(Key(e.section, e.name));
        return it != map.end() ? std::optional<std::string>(it->second) : std::nullopt;
    }
    void Release() { std::unordered_map<std::string, std::string>().swap(map); }
};

struct GKey {
    static constexpr const char *kName = "GLib GKeyFile";
    static constexpr bool kStores = true;
    static constexpr bool kExpands = false;
    GKeyFile *kf = nullptr;
    size_t entries = 0;
    bool Load(const std::string &path) {
        kf = g_key_file_new();
        return g_key_file_load_from_file(kf, path.c_str(), G_KEY_FILE_NONE, nullptr) != FALSE;
    }
    long Get(const Entry &e) {
        gchar *v = g_key_file_get_value(kf, e.section.c_str(), e.name.c_str(), nullptr);
        if (v == nullptr) return -1;
        const long n = static_cast<long>(std::strlen(v));
        g_free(v);
        return n;
    }
    std::optional<std::string> Value(const Entry &e) {
        gchar *v = g_key_file_get_value(kf, e.section.c_str(), e.name.c_str(), nullptr);
        if (v == nullptr) return std::nullopt;
        std::string out(v);
        g_free(v);
        return out;
    }
    void Release() {
        g_key_file_free(kf);
        kf = nullptr;
    }
};

// The near-physical limit of line-oriented parsing: read each line and find
// its "=", storing nothing.
struct GetlineSplit {
    static constexpr const char *kName = "getline split";
    static constexpr bool kStores = false;
    static constexpr bool kExpands = false;
    size_t entries = 0;
    bool Load(const std::string &path) {
        std::FILE *f = std::fopen(path.c_str(), "rb");
        if (f == nullptr) return false;
        char *line = nullptr;
        size_t cap = 0;
        ssize_t len;
        while ((len = getline(&line, &cap, f)) > 0) {
            if (std::memchr(line, '=', static_cast<size_t>(len)) != nullptr) ++entries;
        }
        std::free(line);
        std::fclose(f);
        return true;
    }
    void Release() { entries = 0; }
};

}  // namespace bench

#endif  // NIVRA_BENCH_PEERS_H
