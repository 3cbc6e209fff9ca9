// workload.cc - the benchmark file generator.
#include "workload.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>

namespace bench {
namespace {

// xorshift64*: the same sequence on every machine and library.
class Rng {
  public:
    explicit Rng(uint64_t seed) : s_(seed) {}
    uint64_t next() {
        s_ ^= s_ >> 12;
        s_ ^= s_ << 25;
        s_ ^= s_ >> 27;
        return s_ * 2685821657736338717ull;
    }
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }

  private:
    uint64_t s_;
};

// Characters every peer reads literally (no quotes, escapes, comment or
// reference characters).
constexpr char kValueChars[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.,:/+-@";

std::string RandomValue(Rng &rng) {
    const size_t len = 8 + rng.below(33);
    std::string v(len, 'x');
    for (char &c : v) c = kValueChars[rng.below(sizeof kValueChars - 1)];
    // A blank inside now and then, never at the ends.
    if (len > 12 && rng.below(4) == 0) v[len / 2] = ' ';
    return v;
}

std::string KeyName(size_t i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "key_%06zu", i);
    return buf;
}

// Writes text to path unless the file there has its size already.
void WriteOnce(const std::string &path, const std::string &text) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || static_cast<size_t>(st.st_size) != text.size()) {
        std::ofstream(path, std::ios::binary) << text;
    }
}

// ---- Service configurations ------------------------------------------------

// How a field's value is made.  kDirRef and kRootRef are references: to the
// section's own "dir" entry, which comes first in its section, and to
// [global]'s "root".
enum class Kind {
    kWord,
    kInt,
    kPort,
    kBool,
    kPath,
    kHost,
    kDuration,
    kList,
    kQuoted,
    kUrl,
    kDirRef,
    kRootRef
};

struct Field {
    const char *name;
    Kind kind;
    const char *arg;  // the word, path or quoted text, where the kind takes one
};

struct SectionTemplate {
    const char *name;
    const char *comment;
    std::vector<Field> fields;
};

const std::vector<SectionTemplate> &FixedSections() {
    static const std::vector<SectionTemplate> k = {
        {"global",
         "What the service is and where it lives.",
         {{"name", Kind::kWord, "orders-api"},
          {"root", Kind::kPath, "/srv/orders-api"},
          {"user", Kind::kWord, "orders"},
          {"group", Kind::kWord, "services"},
          {"pid_file", Kind::kRootRef, "run/orders-api.pid"},
          {"environment", Kind::kWord, "production"},
          {"description", Kind::kQuoted, "\"Order intake, primary  site\""}}},
        {"server",
         "The HTTP listener.",
         {{"listen_address", Kind::kHost, nullptr},
          {"port", Kind::kPort, nullptr},
          {"workers", Kind::kInt, nullptr},
          {"max_connections", Kind::kInt, nullptr},
          {"read_timeout", Kind::kDuration, nullptr},
          {"write_timeout", Kind::kDuration, nullptr},
          {"keepalive", Kind::kBool, nullptr},
          {"server_name", Kind::kQuoted, "\"orders.example.net api.example.net\""},
          {"tls", Kind::kBool, nullptr},
          {"document_root", Kind::kRootRef, "www"}}},
        {"database",
         "Primary store; the password comes from the vault in staging.",
         {{"driver", Kind::kWord, "postgres"},
          {"host", Kind::kHost, nullptr},
          {"port", Kind::kPort, nullptr},
          {"name", Kind::kWord, "orders"},
          {"user", Kind::kWord, "orders_rw"},
          {"password", Kind::kQuoted, "\"c0rrect#horse battery\""},
          {"pool_size", Kind::kInt, nullptr},
          {"connect_timeout", Kind::kDuration, nullptr},
          {"ssl_mode", Kind::kWord, "verify-full"}}},
        {"cache",
         "Local disk cache.",
         {{"dir", Kind::kPath, "/var/cache/orders-api"},
          {"size_mb", Kind::kInt, nullptr},
          {"ttl", Kind::kDuration, nullptr},
          {"index_file", Kind::kDirRef, "index.db"},
          {"shards", Kind::kInt, nullptr}}},
        {"logging",
         "Where the logs go and what they look like.",
         {{"dir", Kind::kRootRef, "log"},
          {"file", Kind::kDirRef, "orders-api.log"},
          {"level", Kind::kWord, "info"},
          {"format", Kind::kQuoted, "'%t [%l] %m  (%f:%n)'"},
          {"max_size_mb", Kind::kInt, nullptr},
          {"rotate", Kind::kInt, nullptr},
          {"color", Kind::kQuoted, "\"#33aa33\""}}},
        {"tls",
         "Certificates are renewed by the host's agent.",
         {{"certificate", Kind::kRootRef, "tls/cert.pem"},
          {"key", Kind::kRootRef, "tls/key.pem"},
          {"ciphers", Kind::kList, "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-GCM-SHA384"},
          {"min_version", Kind::kWord, "1.2"}}},
        {"metrics",
         "Scraped by the monitoring cluster.",
         {{"enabled", Kind::kBool, nullptr},
          {"listen", Kind::kHost, nullptr},
          {"path", Kind::kPath, "/metrics"},
          {"interval", Kind::kDuration, nullptr}}},
    };
    return k;
}

// The sections that repeat, numbered, until the file has its entries.
const std::vector<SectionTemplate> &RepeatedSections() {
    static const std::vector<SectionTemplate> k = {
        {"upstream",
         "A backend pool.",
         {{"url", Kind::kUrl, nullptr},
          {"weight", Kind::kInt, nullptr},
          {"timeout", Kind::kDuration, nullptr},
          {"retries", Kind::kInt, nullptr},
          {"health_check", Kind::kPath, "/healthz"},
          {"tags", Kind::kList, "blue canary eu-west"}}},
        {"route",
         "Requests under this prefix.",
         {{"dir", Kind::kPath, "/api/v3/orders"},
          {"methods", Kind::kList, "GET,POST,PUT"},
          {"rewrite", Kind::kDirRef, "internal"},
          {"cache", Kind::kBool, nullptr},
          {"rate_limit", Kind::kInt, nullptr}}},
    };
    return k;
}

// Writes one service file; entries and the expanded values they need.
class ServiceWriter {
  public:
    ServiceWriter(size_t n, Workload *w) : n_(n), w_(w), rng_(0x5EC0FFEEull ^ n) {}

    std::string Write() {
        text_ =
            "# orders-api: service configuration.\n"
            "# Managed by the deployment tool; local changes are kept.\n\n";
        for (const SectionTemplate &s : FixedSections()) {
            if (!Section(s, s.name)) return text_;
        }
        for (size_t k = 1;; ++k) {
            for (const SectionTemplate &s : RepeatedSections()) {
                if (!Section(s, std::string(s.name) + "_" + std::to_string(k))) return text_;
            }
        }
    }

  private:
    // False once the file has its n entries.
    bool Section(const SectionTemplate &s, const std::string &name) {
        if (w_->entries.size() >= n_) return false;
        text_ += "# " + std::string(s.comment) + "\n[" + name + "]\n";
        dir_.clear();
        for (const Field &f : s.fields) {
            if (w_->entries.size() >= n_) return false;
            if (rng_.below(6) == 0) text_ += "# " + std::string(f.name) + ": see the runbook\n";
            Entry e{name, f.name, "", ""};
            Value(f, &e);
            if (std::string(f.name) == "dir") dir_ = e.expanded;
            if (name == "global" && std::string(f.name) == "root") root_ = e.expanded;
            text_ += e.name + " = " + e.raw + "\n";
            w_->entries.push_back(std::move(e));
        }
        text_ += "\n";
        return true;
    }

    std::string Number(size_t lo, size_t hi) { return std::to_string(lo + rng_.below(hi - lo)); }

    void Value(const Field &f, Entry *e) {
        std::string &raw = e->raw;
        switch (f.kind) {
            case Kind::kWord: raw = f.arg; break;
            case Kind::kInt: raw = Number(1, 5000); break;
            case Kind::kPort: raw = Number(1024, 65535); break;
            case Kind::kBool: raw = rng_.below(2) == 0 ? "true" : "false"; break;
            case Kind::kPath: raw = f.arg; break;
            case Kind::kHost:
                raw = "10.0." + Number(0, 255) + "." + Number(1, 255) + ":" + Number(1024, 65535);
                break;
            case Kind::kDuration: raw = Number(1, 120) + (rng_.below(2) == 0 ? "s" : "ms"); break;
            case Kind::kList: raw = f.arg; break;
            case Kind::kUrl:
                raw = "https://orders-" + Number(1, 99) + ".internal.example.net:8443/v2";
                break;
            case Kind::kQuoted:
                raw = f.arg;
                e->expanded = raw.substr(1, raw.size() - 2);
                return;
            case Kind::kDirRef:
                raw = std::string("$dir/") + f.arg;
                e->expanded = dir_ + "/" + f.arg;
                return;
            case Kind::kRootRef:
                raw = std::string("${global::root}/") + f.arg;
                e->expanded = root_ + "/" + f.arg;
                return;
        }
        e->expanded = raw;
    }

    size_t n_;
    Workload *w_;
    Rng rng_;
    std::string text_;
    std::string dir_;   // the current section's "dir", expanded
    std::string root_;  // [global]'s root
};

}  // namespace

Workload MakeServiceConfig(const std::string &dir, size_t n) {
    mkdir(dir.c_str(), 0755);
    Workload w;
    w.path = dir + "/service_" + std::to_string(n) + ".conf";
    const std::string text = ServiceWriter(n, &w).Write();
    w.bytes = text.size();
    WriteOnce(w.path, text);
    return w;
}

Workload MakeWorkload(const std::string &dir, size_t n, bool references) {
    mkdir(dir.c_str(), 0755);
    Workload w;
    w.path = dir + "/entries_" + std::to_string(n) + (references ? "_ref" : "") + ".conf";
    Rng rng(0x9E3779B97F4A7C15ull ^ n ^ (references ? 0xABCDu : 0u));
    std::string text;
    text.reserve(n * 40);
    size_t lines = 0;
    std::string section;
    for (size_t i = 0; i < n; ++i) {
        if (i % 100 == 0) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "section_%05zu", i / 100);
            section = buf;
            if (i != 0) text += "\n";
            text += "[" + section + "]\n";
            ++lines;
        }
        if (++lines % 20 == 0) text += "# comment line " + std::to_string(lines) + "\n";
        Entry e;
        e.section = section;
        e.name = KeyName(i);
        const size_t first_in_section = i - i % 100;
        if (references && i > first_in_section && rng.below(5) == 0) {
            const size_t target = first_in_section + rng.below(i - first_in_section);
            e.raw = "${" + KeyName(target) + "}";
            e.expanded = w.entries[target].expanded;
        } else {
            e.raw = RandomValue(rng);
            e.expanded = e.raw;
        }
        text += e.name + " = " + e.raw + "\n";
        w.entries.push_back(std::move(e));
    }
    w.bytes = text.size();
    WriteOnce(w.path, text);
    return w;
}

}  // namespace bench
