// conf.hpp - a header-only C++ interface to the configuration library.
//
//   nivra::Conf conf;                                   // may throw bad_alloc
//   if (auto err = conf.load_file("service.conf")) {
//       std::cerr << err->text << '\n';                 // "missing equal sign, line 4"
//       return 1;
//   }
//   int64_t port = conf.get_int64("service", "port").value_or(8080);
//   for (std::string_view section : conf.sections())
//       for (nivra::ConfEntry e : conf.entries(section)) use(e.name, e.value);
//
// Everything goes through the C functions of conf.h, which never throw.
// What can throw here is only allocation: the Conf() constructor
// (std::bad_alloc when CONF_new fails), a ConfError's text (std::string),
// and entries() with a std::string_view section (it keeps a NUL-terminated
// copy of the name).  Every other member is noexcept.
//
// Lifetimes are those of the C interface: the string_views that lookups and
// listings return point into the context and stay valid until the Conf is
// destroyed, a later load replaces that entry, or a failed load drops the
// table.  Threads as for a CONF_CTX: the const members may be called from
// any number of threads at once after a load; loads, moves and destruction
// need exclusive use.
#ifndef NIVRA_CONF_HPP
#define NIVRA_CONF_HPP

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "conf.h"

namespace nivra {

// A failed load: the error number (conf.h lists them), its text with the
// ", line N" suffix where there is one, and that line (0 without a suffix).
struct ConfError {
    int number = 0;
    std::string text;
    int line = 0;
};

// One entry of a section, as listed.
struct ConfEntry {
    std::string_view name;
    std::string_view value;
};

// A section or entry name argument: a C string or a std::string.
class ConfName {
  public:
    ConfName(const char *s) noexcept : p_(s) {}                 // NOLINT: implicit by design
    ConfName(const std::string &s) noexcept : p_(s.c_str()) {}  // NOLINT
    const char *c_str() const noexcept { return p_; }

  private:
    const char *p_;
};

// An input iterator over positions 0..n-1 of a listing; Read gives the
// element at a position.  Only as valid as the listing it came from.
template <typename Owner, typename Value, Value (*Read)(const Owner &, int)>
class IndexIterator {
  public:
    IndexIterator(const Owner *owner, int i) noexcept : owner_(owner), i_(i) {}
    Value operator*() const noexcept { return Read(*owner_, i_); }
    IndexIterator &operator++() noexcept {
        ++i_;
        return *this;
    }
    bool operator==(const IndexIterator &o) const noexcept { return i_ == o.i_; }
    bool operator!=(const IndexIterator &o) const noexcept { return i_ != o.i_; }

  private:
    const Owner *owner_;
    int i_;
};

class Conf {
  public:
    // A new, empty context.  Throws std::bad_alloc when memory is exhausted.
    Conf() : ctx_(CONF_new()) {
        if (ctx_ == nullptr) throw std::bad_alloc();
    }
    // Takes ownership of a context from CONF_new (null gives an empty Conf
    // whose every call fails or finds nothing).
    explicit Conf(CONF_CTX *adopt) noexcept : ctx_(adopt) {}
    ~Conf() { CONF_free(ctx_); }
    Conf(Conf &&other) noexcept : ctx_(std::exchange(other.ctx_, nullptr)) {}
    Conf &operator=(Conf &&other) noexcept {
        if (this != &other) {
            CONF_free(ctx_);
            ctx_ = std::exchange(other.ctx_, nullptr);
        }
        return *this;
    }
    Conf(const Conf &) = delete;
    Conf &operator=(const Conf &) = delete;

    // The C context, still owned by this Conf; release() hands it over.
    CONF_CTX *get() const noexcept { return ctx_; }
    CONF_CTX *release() noexcept { return std::exchange(ctx_, nullptr); }

    // Loads add to what earlier loads stored, exactly as CONF_load and its
    // siblings do.  They return nothing on success and the error otherwise;
    // unlike the C result, an error recorded by an earlier load does not
    // make a later successful load look failed.
    std::optional<ConfError> load_file(ConfName path) {
        return run([&] { return CONF_load(ctx_, path.c_str()); });
    }
    std::optional<ConfError> load_stream(std::FILE *fp) {
        return run([&] { return CONF_load_fp(ctx_, fp); });
    }
    std::optional<ConfError> load_string(std::string_view text) {
        return run([&] { return CONF_load_buffer(ctx_, text.data(), text.size()); });
    }

    // CONF_get_string: the value with its fallbacks, or nothing.
    std::optional<std::string_view> get(ConfName section, ConfName name) const noexcept {
        if (ctx_ == nullptr) return std::nullopt;
        const char *v = CONF_get_string(ctx_, section.c_str(), name.c_str());
        if (v == nullptr) return std::nullopt;
        return std::string_view(v);
    }
    // Typed values: nothing when the entry is missing or its value is not
    // valid (the C calls CONF_get_int64 and its siblings tell the two apart).
    std::optional<int64_t> get_int64(ConfName section, ConfName name) const noexcept {
        int64_t v = 0;
        if (CONF_get_int64(ctx_, section.c_str(), name.c_str(), &v) != 1) return std::nullopt;
        return v;
    }
    std::optional<double> get_double(ConfName section, ConfName name) const noexcept {
        double v = 0;
        if (CONF_get_double(ctx_, section.c_str(), name.c_str(), &v) != 1) return std::nullopt;
        return v;
    }
    std::optional<bool> get_bool(ConfName section, ConfName name) const noexcept {
        int v = 0;
        if (CONF_get_bool(ctx_, section.c_str(), name.c_str(), &v) != 1) return std::nullopt;
        return v != 0;
    }

    // The last error recorded in the context (number 0 when there is none).
    ConfError last_error() const {
        return ConfError{CONF_get_last_errnum(ctx_),
                         ctx_ != nullptr ? CONF_get_last_error_str(ctx_) : "",
                         CONF_get_last_error_line(ctx_)};
    }

    // Range-for over the section names, in the order they came into being.
    class Sections {
      public:
        explicit Sections(CONF_CTX *ctx) noexcept : ctx_(ctx) {}
        static std::string_view at(const Sections &s, int i) noexcept {
            return CONF_get_section_name(s.ctx_, i);
        }
        using iterator = IndexIterator<Sections, std::string_view, &Sections::at>;
        iterator begin() const noexcept { return {this, 0}; }
        iterator end() const noexcept { return {this, size()}; }
        int size() const noexcept { return CONF_get_section_count(ctx_); }

      private:
        CONF_CTX *ctx_;
    };
    Sections sections() const noexcept { return Sections(ctx_); }

    // Range-for over the entries of a section in stored order; empty when
    // there is no such section.
    class Entries {
      public:
        Entries(CONF_CTX *ctx, std::string section) : ctx_(ctx), section_(std::move(section)) {}
        static ConfEntry at(const Entries &e, int i) noexcept {
            const CONF_VALUE *v = CONF_get_entry(e.ctx_, e.section_.c_str(), i);
            return ConfEntry{v->name, v->value};
        }
        using iterator = IndexIterator<Entries, ConfEntry, &Entries::at>;
        iterator begin() const noexcept { return {this, 0}; }
        iterator end() const noexcept { return {this, size()}; }
        int size() const noexcept {
            const int n = CONF_get_entry_count(ctx_, section_.c_str());
            return n < 0 ? 0 : n;
        }

      private:
        CONF_CTX *ctx_;
        std::string section_;
    };
    Entries entries(std::string_view section) const { return Entries(ctx_, std::string(section)); }

  private:
    // Runs one load and tells its own outcome: the context's error record is
    // cleared for the call and, after a success, put back as it was, so the
    // C view of the context is what the load alone would have left.
    template <typename Load>
    std::optional<ConfError> run(Load load) {
        if (ctx_ == nullptr) return ConfError{-100, "null context pointer", 0};
        const CONF_CTX saved_error = *ctx_;
        ctx_->last_errnum = 0;
        if (load() == 0) {
            ctx_->last_errnum = saved_error.last_errnum;
            std::char_traits<char>::copy(ctx_->last_error_str, saved_error.last_error_str,
                                         sizeof ctx_->last_error_str);
            return std::nullopt;
        }
        return last_error();
    }

    CONF_CTX *ctx_;
};

}  // namespace nivra

#endif  // NIVRA_CONF_HPP
