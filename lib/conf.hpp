// conf.hpp - a header-only C++17 interface to the configuration library.
//
//   nivra::Conf conf;                                   // may throw bad_alloc
//   if (auto err = conf.load_file("service.conf")) {
//       std::cerr << err->line << ": " << err->text;    // 4: missing equal sign
//       return 1;
//   }
//   int64_t port = conf.get_int64("service", "port").value_or(8080);
//   for (std::string_view section : conf.sections())
//       for (nivra::ConfEntry e : conf.entries(section)) use(e.name, e.value);
//
//   nivra::Schema schema;                               // what it reads: conf_schema.h
//   if (auto err = schema.load_string(kSchemaText)) fail(*err);
//   for (const nivra::ConfFinding &f : conf.validate(schema)) report(f.message);
//   int64_t workers = conf.get_int64(schema, "service", "workers").value();
//
//   nivra::ConfDoc doc;                                 // editing a file: conf_doc.h
//   if (auto err = doc.read_file("service.conf")) fail(*err);
//   if (auto err = doc.set("service", "port", "9090")) fail(*err);
//   if (auto err = doc.save("service.conf")) fail(*err);
//
//   auto live = nivra::LiveConf::file("service.conf");  // live: conf_live.h
//   if (auto r = live.reload(); r.error) log(r.error->text);
//   nivra::LiveConf::Snapshot conf(live);               // on any thread
//   int64_t port = conf->get_int64("service", "port").value_or(8080);
//
// Everything goes through the C functions of conf.h and conf_doc.h, which
// never throw.  What can throw here is only allocation: the Conf() and
// ConfDoc() constructors (std::bad_alloc when CONF_new or CONF_doc_new
// fails), a ConfError's text (a std::string, so the calls that return a
// ConfError), entries(), which keeps a copy of the section name, and
// Conf::validate, which copies the findings.  The
// lookups, the listings and ConfDoc::text() are noexcept.
//
// Names (sections, entry names, paths, values to write) are taken as
// `const char *`, `std::string` or `std::string_view` (nivra::ConfName).
// A null `const char *` is passed on as null, with the meaning the C call
// gives it.  The C calls need NUL-terminated strings: a string_view is
// copied (on the stack when short, else with malloc) and, if that copy
// cannot be made, a lookup finds nothing and an edit fails with -102.  A
// name holding a NUL byte names nothing the format can hold (a NUL ends a
// line's text): such an entry is not found, such a section does not exist
// (a lookup falls back to "default" as for any missing section), and such
// a path is passed on as null (-101).
//
// Lifetimes are those of the C interface: the string_views that lookups and
// listings return point into the context and stay valid until the Conf is
// destroyed, a later load replaces that entry, or a failed load drops the
// table; ConfDoc::text() until the next call that changes the document.
// Threads as for a CONF_CTX: the const members of Conf may be called from
// any number of threads at once after a load; loads, moves and destruction
// need exclusive use.  A ConfDoc is used by one thread at a time.
#ifndef NIVRA_CONF_HPP
#define NIVRA_CONF_HPP

#if !defined(__cplusplus)
#error "conf.hpp is the C++ interface; C programs include conf.h"
#elif __cplusplus < 201703L && !(defined(_MSVC_LANG) && _MSVC_LANG >= 201703L)
#error "conf.hpp needs C++17 or later"
#else

#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "conf.h"
#include "conf_doc.h"
#include "conf_live.h"
#include "conf_schema.h"

namespace nivra {

// A failed call: the error number (conf.h lists them), its text, and its
// line (0 when none applies), apart: the text is the same whether a load,
// an edit or a save failed (a load's ", line N" suffix is not part of it),
// so that "FILE:LINE: TEXT" is printed one way.
struct ConfError {
    int number = 0;
    std::string text;
    int line = 0;
};

// Where an entry was defined: the file (empty when a stream or memory load
// stored it) and the first physical line of the definition.  file points
// into the context, like a lookup's result.
struct ConfOrigin {
    std::string_view file;
    int line = 0;
};

// One entry of a section, as listed.
struct ConfEntry {
    std::string_view name;
    std::string_view value;
};

// A name argument: a C string (null allowed), a std::string or a
// std::string_view.  It refers to the caller's characters, so it lives no
// longer than the call it is an argument of.
class ConfName {
  public:
    ConfName(const char *s) noexcept  // NOLINT: implicit by design
        : data_(s), size_(s != nullptr ? std::char_traits<char>::length(s) : 0), kind_(kCString) {}
    ConfName(const std::string &s) noexcept  // NOLINT
        : data_(s.c_str()), size_(s.size()), kind_(kString) {}
    ConfName(std::string_view s) noexcept  // NOLINT
        : data_(s.data()), size_(s.size()), kind_(kView) {}

    // Only a null `const char *` is null; an empty string_view is "".
    bool is_null() const noexcept { return kind_ == kCString && data_ == nullptr; }
    std::string_view view() const noexcept { return {is_null() ? "" : data_, size_}; }
    // Whether data()[size()] is a NUL that ends the name.
    bool nul_terminated() const noexcept { return kind_ != kView; }
    // Whether the name holds a NUL byte (a C string cannot).
    bool holds_nul() const noexcept {
        return kind_ != kCString && size_ != 0 && std::memchr(data_, '\0', size_) != nullptr;
    }
    const char *data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

  private:
    enum Kind { kCString, kString, kView };
    const char *data_;
    std::size_t size_;
    Kind kind_;
};

namespace detail {

// A ConfName as a NUL-terminated string for a C call: the caller's own
// characters when they are terminated, else a copy in the object (short
// names) or from malloc.  Never throws; status() tells what c_str() is.
class CName {
  public:
    enum Status {
        kOk,        // c_str() is the name
        kNull,      // a null const char *; c_str() is null
        kHoldsNul,  // the name holds a NUL byte; c_str() is null
        kNoMemory   // the copy could not be made; c_str() is null
    };

    explicit CName(const ConfName &name) noexcept {
        if (name.is_null()) {
            status_ = kNull;
        } else if (name.holds_nul()) {
            status_ = kHoldsNul;
        } else if (name.nul_terminated()) {
            p_ = name.data();
        } else {
            char *buf = small_;
            if (name.size() >= sizeof small_) {
                heap_ = static_cast<char *>(std::malloc(name.size() + 1));
                if (heap_ == nullptr) {
                    status_ = kNoMemory;
                    return;
                }
                buf = heap_;
            }
            if (name.size() != 0) std::memcpy(buf, name.data(), name.size());
            buf[name.size()] = '\0';
            p_ = buf;
        }
    }
    ~CName() { std::free(heap_); }
    CName(const CName &) = delete;
    CName &operator=(const CName &) = delete;

    Status status() const noexcept { return status_; }
    const char *c_str() const noexcept { return p_; }

  private:
    char small_[128];
    char *heap_ = nullptr;
    const char *p_ = nullptr;
    Status status_ = kOk;
};

// text less the ", line N" that a load appends for line N: the line is a
// ConfError's own field, whatever call reported it.
inline std::string without_line(const char *text, int line) {
    std::string t = text;
    if (line < 0) return t;
    const std::string suffix = ", line " + std::to_string(line);
    if (t.size() >= suffix.size() &&
        t.compare(t.size() - suffix.size(), suffix.size(), suffix) == 0)
        t.resize(t.size() - suffix.size());
    return t;
}

// The owner of a C handle from the library: it frees it with Free (which
// takes null) when destroyed or given another, and moves but is never
// copied.  A moved-from handle is null.  Conf, ConfDoc, Schema and
// LiveConf hold their context, document, schema and live configuration in
// one.
template <typename T, void (*Free)(T *)>
class Handle {
  public:
    explicit Handle(T *adopt) noexcept : p_(adopt) {}
    ~Handle() { Free(p_); }
    Handle(Handle &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Handle &operator=(Handle &&other) noexcept {
        if (this != &other) {
            Free(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    T *get() const noexcept { return p_; }
    T *release() noexcept { return std::exchange(p_, nullptr); }

  private:
    T *p_;
};

}  // namespace detail

// An iterator over positions 0..n-1 of a listing; Read gives the element at
// a position of the source.  A forward iterator in the C++20 sense (it may
// be read and copied, and reads the same element again at the same
// position), and an input iterator for the standard algorithms of C++17,
// because it gives its elements by value.  Only as valid as the listing it
// came from; iterators of different listings are not compared.
template <typename Source, typename Value, Value (*Read)(Source, int)>
class IndexIterator {
  public:
    using iterator_category = std::input_iterator_tag;
    using iterator_concept = std::forward_iterator_tag;
    using value_type = Value;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = Value;

    IndexIterator() noexcept = default;
    IndexIterator(Source source, int i) noexcept : source_(source), i_(i) {}
    Value operator*() const noexcept { return Read(source_, i_); }
    IndexIterator &operator++() noexcept {
        ++i_;
        return *this;
    }
    IndexIterator operator++(int) noexcept {
        IndexIterator before = *this;
        ++i_;
        return before;
    }
    bool operator==(const IndexIterator &o) const noexcept { return i_ == o.i_; }
    bool operator!=(const IndexIterator &o) const noexcept { return i_ != o.i_; }

  private:
    Source source_{};
    int i_ = 0;
};

// One finding of Conf::validate: CONF_FINDING with its strings copied.
// file is empty where the C finding's is null (a stream or memory load).
struct ConfFinding {
    CONF_FINDING_KIND kind = CONF_FINDING_UNKNOWN_KEY;
    CONF_SEVERITY severity = CONF_SEVERITY_WARNING;
    std::string section;
    std::string name;
    std::string value;
    std::string file;
    int line = 0;
    std::string message;
    std::string suggestion;

    bool is_error() const noexcept { return severity == CONF_SEVERITY_ERROR; }
};

// A schema (conf_schema.h): what a program reads, with types, ranges and
// defaults.  Empty until a load succeeds; a load that fails leaves it as it
// was.  Moves but does not copy; any number of threads may read one.
class Schema {
  public:
    Schema() noexcept = default;
    // Takes ownership of a schema from CONF_schema_load (null: empty).
    explicit Schema(CONF_SCHEMA *adopt) noexcept : schema_(adopt) {}

    // CONF_schema_load and CONF_schema_load_buffer: nothing on success, else
    // the error (its number, text and line).  A path
    // holding a NUL byte is -101.
    std::optional<ConfError> load_file(ConfName path) {
        const detail::CName file(path);
        if (file.status() == detail::CName::kNoMemory)
            return ConfError{-102, "memory allocation fail", 0};
        return take([&](CONF_SCHEMA_ERROR *e) { return CONF_schema_load(file.c_str(), e); });
    }
    std::optional<ConfError> load_string(std::string_view text) {
        return take([&](CONF_SCHEMA_ERROR *e) {
            return CONF_schema_load_buffer(text.data(), text.size(), e);
        });
    }

    const CONF_SCHEMA *get() const noexcept { return schema_.get(); }
    explicit operator bool() const noexcept { return schema_.get() != nullptr; }

  private:
    template <typename Load>
    std::optional<ConfError> take(Load load) {
        CONF_SCHEMA_ERROR error{};
        CONF_SCHEMA *loaded = load(&error);
        if (loaded == nullptr)
            return ConfError{error.number, detail::without_line(error.text, error.line),
                             error.line};
        schema_ = detail::Handle<CONF_SCHEMA, &CONF_schema_free>(loaded);
        return std::nullopt;
    }

    detail::Handle<CONF_SCHEMA, &CONF_schema_free> schema_{nullptr};
};

class ConfDoc;

class Conf {
  public:
    // A new, empty context.  Throws std::bad_alloc when memory is exhausted.
    Conf() : handle_(CONF_new()) {
        if (handle_.get() == nullptr) throw std::bad_alloc();
    }
    // Takes ownership of a context from CONF_new (null gives an empty Conf
    // whose every call fails or finds nothing).  Moves leave a Conf that
    // holds none.
    explicit Conf(CONF_CTX *adopt) noexcept : handle_(adopt) {}

    // The C context, still owned by this Conf; release() hands it over.
    CONF_CTX *get() const noexcept { return handle_.get(); }
    CONF_CTX *release() noexcept { return handle_.release(); }

    // Loads add to what earlier loads stored, exactly as CONF_load and its
    // siblings do.  They return nothing on success and the error otherwise;
    // unlike the C result, an error recorded by an earlier load does not
    // make a later successful load look failed.  A path holding a NUL byte
    // is passed as null: -101, as for a file that cannot be opened.
    std::optional<ConfError> load_file(ConfName path) {
        const detail::CName file(path);
        if (file.status() == detail::CName::kNoMemory) return no_memory();
        return run([&] { return CONF_load(get(), file.c_str()); });
    }
    std::optional<ConfError> load_stream(std::FILE *fp) {
        return run([&] { return CONF_load_fp(get(), fp); });
    }
    std::optional<ConfError> load_string(std::string_view text) {
        return run([&] { return CONF_load_buffer(get(), text.data(), text.size()); });
    }
    // CONF_load_layered: the main file name from the first of dirs that has
    // it, then the drop-ins of every directory (dirs: highest priority
    // first; any range of strings or string_views).  A directory holding a
    // NUL byte is one that does not exist.  May throw std::bad_alloc.
    template <typename Dirs>
    std::optional<ConfError> load_layered(const Dirs &dirs, ConfName name) {
        std::vector<std::string> copies;
        for (const auto &d : dirs) copies.emplace_back(std::string_view(d));
        std::vector<const char *> paths;
        for (const std::string &d : copies)
            paths.push_back(d.find('\0') == std::string::npos ? d.c_str() : nullptr);
        const detail::CName file(name);
        if (file.status() == detail::CName::kNoMemory) return no_memory();
        return run(
            [&] { return CONF_load_layered(get(), paths.data(), paths.size(), file.c_str()); });
    }
    std::optional<ConfError> load_layered(std::initializer_list<std::string_view> dirs,
                                          ConfName name) {
        return load_layered<std::initializer_list<std::string_view> >(dirs, name);
    }

    // CONF_get_string: the value with its fallbacks, or nothing.
    std::optional<std::string_view> get(ConfName section, ConfName name) const noexcept {
        if (get() == nullptr) return std::nullopt;
        return lookup(section, name,
                      [this](const char *s, const char *n) -> std::optional<std::string_view> {
                          const char *v = CONF_get_string(get(), s, n);
                          if (v == nullptr) return std::nullopt;
                          return std::string_view(v);
                      });
    }
    // Typed values: nothing when the entry is missing or its value is not
    // valid (the C calls CONF_get_int64 and its siblings tell the two apart).
    std::optional<int64_t> get_int64(ConfName section, ConfName name) const noexcept {
        return typed<int64_t>(section, name, &CONF_get_int64);
    }
    std::optional<double> get_double(ConfName section, ConfName name) const noexcept {
        return typed<double>(section, name, &CONF_get_double);
    }
    std::optional<bool> get_bool(ConfName section, ConfName name) const noexcept {
        return typed<bool>(section, name, &CONF_get_bool);
    }

    // Checks the context against the schema (CONF_schema_validate): the
    // findings in file order; none for an empty Schema or Conf.  Throws
    // std::bad_alloc when memory runs out.
    std::vector<ConfFinding> validate(const Schema &schema) const {
        if (!schema || get() == nullptr) return {};
        CONF_FINDINGS *found = CONF_schema_validate(schema.get(), get());
        if (found == nullptr) throw std::bad_alloc();
        std::vector<ConfFinding> out;
        try {
            out.reserve(static_cast<std::size_t>(CONF_findings_count(found)));
            for (int i = 0; i < CONF_findings_count(found); ++i) {
                const CONF_FINDING *f = CONF_findings_get(found, i);
                out.push_back(ConfFinding{f->kind, f->severity, f->section, f->name, f->value,
                                          f->file != nullptr ? f->file : "", f->line, f->message,
                                          f->suggestion});
            }
        } catch (...) {
            CONF_findings_free(found);
            throw;
        }
        CONF_findings_free(found);
        return out;
    }

    // Typed reads through a schema (CONF_schema_get_int64 and its
    // siblings): the entry's value, or the schema's default when it is not
    // set; nothing when there is no valid value, and for a key the schema
    // does not describe with that type (the C calls tell these apart).
    // The entry is looked up exactly: no fallback to "default" or the
    // environment.  Sizes are bytes.
    std::optional<int64_t> get_int64(const Schema &schema, ConfName section,
                                     ConfName name) const noexcept {
        return schema_typed<int64_t>(schema, section, name, &CONF_schema_get_int64);
    }
    std::optional<double> get_double(const Schema &schema, ConfName section,
                                     ConfName name) const noexcept {
        return schema_typed<double>(schema, section, name, &CONF_schema_get_double);
    }
    std::optional<bool> get_bool(const Schema &schema, ConfName section,
                                 ConfName name) const noexcept {
        return schema_typed<bool>(schema, section, name, &CONF_schema_get_bool);
    }
    std::optional<uint64_t> get_size(const Schema &schema, ConfName section,
                                     ConfName name) const noexcept {
        return schema_typed<uint64_t>(schema, section, name, &CONF_schema_get_size);
    }
    std::optional<std::chrono::milliseconds> get_duration(const Schema &schema, ConfName section,
                                                          ConfName name) const noexcept {
        return schema_typed<std::chrono::milliseconds>(schema, section, name,
                                                       &CONF_schema_get_duration);
    }
    // The string lives as a lookup's does, or, for a default, as the schema.
    std::optional<std::string_view> get_string(const Schema &schema, ConfName section,
                                               ConfName name) const noexcept {
        return schema_typed<std::string_view>(schema, section, name, &CONF_schema_get_string);
    }
    // The index of the choice, 0 for the first written in the schema.
    std::optional<int> get_enum(const Schema &schema, ConfName section,
                                ConfName name) const noexcept {
        return schema_typed<int>(schema, section, name, &CONF_schema_get_enum);
    }

    // The last error recorded in the context (number 0 when there is none),
    // its text without the line, which is in its own field.
    ConfError last_error() const {
        const int line = CONF_get_last_error_line(get());
        return ConfError{
            CONF_get_last_errnum(get()),
            detail::without_line(get() != nullptr ? CONF_get_last_error_str(get()) : "", line),
            line};
    }
    // The file whose load recorded the last error (CONF_get_last_error_file);
    // empty when it came from a stream, memory, or there is none.
    std::string_view last_error_file() const noexcept {
        const char *file = CONF_get_last_error_file(get());
        return file != nullptr ? file : "";
    }

    // Where the entry (section, name) that the context itself holds was
    // defined (CONF_get_origin: no fallback); nothing when it holds none.
    std::optional<ConfOrigin> origin(ConfName section, ConfName name) const noexcept {
        return lookup(section, name,
                      [this](const char *s, const char *n) -> std::optional<ConfOrigin> {
                          const char *file = nullptr;
                          int line = 0;
                          if (CONF_get_origin(get(), s, n, &file, &line) != 1) return std::nullopt;
                          return ConfOrigin{
                              file != nullptr ? std::string_view(file) : std::string_view(), line};
                      });
    }

    // The section names, in the order they came into being: a forward
    // range of std::string_view (range-for, the standard algorithms, and
    // std::ranges), whose iterators stay usable as long as the context's
    // table, even after the Sections object is gone.
    class Sections {
      public:
        explicit Sections(CONF_CTX *ctx) noexcept : ctx_(ctx) {}
        static std::string_view at(CONF_CTX *ctx, int i) noexcept {
            return CONF_get_section_name(ctx, i);
        }
        using iterator = IndexIterator<CONF_CTX *, std::string_view, &Sections::at>;
        using const_iterator = iterator;
        iterator begin() const noexcept { return {ctx_, 0}; }
        iterator end() const noexcept { return {ctx_, size()}; }
        int size() const noexcept { return CONF_get_section_count(ctx_); }

      private:
        CONF_CTX *ctx_;
    };
    Sections sections() const noexcept { return Sections(get()); }

    // The entries of a section in stored order, a forward range of
    // ConfEntry; empty when there is no such section (a null name, or one
    // holding a NUL byte, included).  It keeps a copy of the section name
    // (so entries() may throw std::bad_alloc); its iterators refer to it.
    class Entries {
      public:
        Entries(CONF_CTX *ctx, ConfName section)
            : ctx_(ctx),
              exists_(!section.is_null() && !section.holds_nul()),
              section_(section.view()) {}
        static ConfEntry at(const Entries *e, int i) noexcept {
            const CONF_VALUE *v = CONF_get_entry(e->ctx_, e->section_.c_str(), i);
            return ConfEntry{v->name, v->value};
        }
        using iterator = IndexIterator<const Entries *, ConfEntry, &Entries::at>;
        using const_iterator = iterator;
        iterator begin() const noexcept { return {this, 0}; }
        iterator end() const noexcept { return {this, size()}; }
        int size() const noexcept {
            const int n = exists_ ? CONF_get_entry_count(ctx_, section_.c_str()) : 0;
            return n < 0 ? 0 : n;
        }

      private:
        CONF_CTX *ctx_;
        bool exists_;
        std::string section_;
    };
    Entries entries(ConfName section) const { return Entries(get(), section); }

  private:
    friend class ConfDoc;

    static ConfError no_memory() { return ConfError{-102, "memory allocation fail", 0}; }

    // Calls find(section, name) with the names as C strings; a name that
    // holds a NUL byte or cannot be copied finds nothing.  A section holding
    // a NUL byte does not exist, which for CONF_get_string and the typed
    // lookups is what a null section means: only the fallbacks answer.
    template <typename Find>
    static auto lookup(const ConfName &section, const ConfName &name, Find find) noexcept
        -> decltype(find(nullptr, nullptr)) {
        const detail::CName n(name);
        if (n.status() == detail::CName::kHoldsNul || n.status() == detail::CName::kNoMemory) {
            return std::nullopt;
        }
        const detail::CName s(section);
        if (s.status() == detail::CName::kNoMemory) return std::nullopt;
        return find(s.c_str(), n.c_str());
    }

    // A typed lookup through the C call read, whose out-value is a C.
    template <typename T, typename C>
    std::optional<T> typed(const ConfName &section, const ConfName &name,
                           int (*read)(CONF_CTX *, const char *, const char *,
                                       C *)) const noexcept {
        return lookup(section, name, [&](const char *s, const char *n) -> std::optional<T> {
            C v{};
            if (read(get(), s, n, &v) != 1) return std::nullopt;
            return static_cast<T>(v);
        });
    }

    // A typed read through the schema's C call read, whose out-value is a C.
    template <typename T, typename C>
    std::optional<T> schema_typed(const Schema &schema, const ConfName &section,
                                  const ConfName &name,
                                  int (*read)(const CONF_SCHEMA *, CONF_CTX *, const char *,
                                              const char *, C *)) const noexcept {
        return lookup(section, name, [&](const char *s, const char *n) -> std::optional<T> {
            C v{};
            if (read(schema.get(), get(), s, n, &v) < 0) return std::nullopt;
            return T(v);
        });
    }

    // Runs one load and tells its own outcome: the context's error record is
    // cleared for the call and, after a success (or a failure that recorded
    // nothing), put back as it was, so the C view of the context is what the
    // load alone would have left.
    template <typename Load>
    std::optional<ConfError> run(Load load) {
        if (get() == nullptr) return ConfError{-100, "null context pointer", 0};
        const CONF_CTX saved_error = *get();
        get()->last_errnum = 0;
        const int rc = load();
        if (rc != 0 && get()->last_errnum != 0) return last_error();
        get()->last_errnum = saved_error.last_errnum;
        std::char_traits<char>::copy(get()->last_error_str, saved_error.last_error_str,
                                     sizeof get()->last_error_str);
        if (rc == 0) return std::nullopt;
        return ConfError{rc, "", 0};
    }

    detail::Handle<CONF_CTX, &CONF_free> handle_;
};

// What ConfDoc::unset and ConfDoc::remove_section did: the count the C call
// returns (definitions or lines removed; 0 when nothing changed), or the
// error, with count 0, when it failed and left the document as it was.
//
//   auto removed = doc.unset("service", "port");
//   if (removed.error) fail(*removed.error);
//   else if (removed.count == 0) say("port was not set");
struct ConfRemoved {
    int count = 0;
    std::optional<ConfError> error;
};

// One configuration file's text, kept byte for byte, and edited a line at a
// time (conf_doc.h states every rule).  Owns a CONF_DOC; move-only.  Calls
// that succeed or fail return nothing or the error: its number (the C
// result), and the text and line CONF_doc_last_error gives.  A moved-from
// ConfDoc fails every call with -100 ("null document pointer") and has an
// empty text.
//
// Names that no line of the format can hold are answered here without the C
// call (the document is unchanged and CONF_doc_last_error does not tell of
// it): set and set_raw give -110 "name cannot be written" for a section,
// name or value holding a NUL byte; unset and remove_section find nothing
// (count 0); a path holding a NUL byte is passed as null (-101).
class ConfDoc {
  public:
    // A new document with an empty text.  Throws std::bad_alloc when memory
    // is exhausted.
    ConfDoc() : handle_(CONF_doc_new()) {
        if (handle_.get() == nullptr) throw std::bad_alloc();
    }
    // Takes ownership of a document from CONF_doc_new (null gives a
    // ConfDoc whose every call fails).  Moves leave a ConfDoc that holds
    // none.
    explicit ConfDoc(CONF_DOC *adopt) noexcept : handle_(adopt) {}

    // The C document, still owned by this ConfDoc; release() hands it over.
    CONF_DOC *get() const noexcept { return handle_.get(); }
    CONF_DOC *release() noexcept { return handle_.release(); }

    // CONF_doc_read_file: the file's contents become the text, and what a
    // save compares the file with.
    std::optional<ConfError> read_file(ConfName path) {
        const detail::CName file(path);
        if (file.status() == detail::CName::kNoMemory) return Conf::no_memory();
        return result(CONF_doc_read_file(get(), file.c_str()));
    }
    // CONF_doc_read_buffer: a copy of the bytes becomes the text (NUL bytes
    // included); the document then has no file.
    std::optional<ConfError> read_buffer(const void *data, std::size_t len) {
        return result(CONF_doc_read_buffer(get(), data, len));
    }
    std::optional<ConfError> read_string(std::string_view text) {
        return read_buffer(text.data(), text.size());
    }

    // The text, with its true length (NUL bytes inside it count); valid
    // until the next call that changes the document.  Empty for a
    // moved-from ConfDoc.
    std::string_view text() const noexcept {
        std::size_t len = 0;
        const char *t = CONF_doc_text(get(), &len);
        return t != nullptr ? std::string_view(t, len) : std::string_view();
    }

    // CONF_doc_set: the entry gets the literal value.  A null section is
    // "default".
    std::optional<ConfError> set(ConfName section, ConfName name, ConfName value) {
        return edit(section, name, value, &CONF_doc_set);
    }
    // CONF_doc_set_raw: raw is written as the value's text as it stands.
    std::optional<ConfError> set_raw(ConfName section, ConfName name, ConfName raw) {
        return edit(section, name, raw, &CONF_doc_set_raw);
    }

    // CONF_doc_unset: removes every definition of (section, name); the
    // count is how many.
    ConfRemoved unset(ConfName section, ConfName name) {
        if (get() == nullptr) return {0, null_document()};
        const detail::CName s(section);
        const detail::CName n(name);
        if (s.status() == detail::CName::kHoldsNul || n.status() == detail::CName::kHoldsNul) {
            return {};
        }
        if (s.status() == detail::CName::kNoMemory || n.status() == detail::CName::kNoMemory) {
            return {0, Conf::no_memory()};
        }
        return removed(CONF_doc_unset(get(), s.c_str(), n.c_str()));
    }
    // CONF_doc_remove_section: removes the section; the count is how many
    // physical lines went.
    ConfRemoved remove_section(ConfName section) {
        if (get() == nullptr) return {0, null_document()};
        const detail::CName s(section);
        if (s.status() == detail::CName::kHoldsNul) return {};
        if (s.status() == detail::CName::kNoMemory) return {0, Conf::no_memory()};
        return removed(CONF_doc_remove_section(get(), s.c_str()));
    }

    // CONF_doc_check: loads the text into conf, adding to what it holds, as
    // conf.load_string(text()) does, with the same result: nothing, or the
    // load's error (as recorded in conf).
    std::optional<ConfError> check(Conf &conf) const {
        if (get() == nullptr) return null_document();
        return conf.run([&] { return CONF_doc_check(get(), conf.get()); });
    }

    // CONF_doc_line_origin: the line read that line (from 1) of the text
    // is, or the edit that wrote it; nothing for a line the text does not
    // have.
    std::optional<CONF_DOC_LINE> line_origin(int line) const noexcept {
        CONF_DOC_LINE origin{};
        if (CONF_doc_line_origin(get(), line, &origin) != 0) return std::nullopt;
        return origin;
    }

    // CONF_doc_save: writes the text to path, replacing the file at once,
    // unless it does not load (that load's error and line) or the file
    // changed since it was read (-112).
    std::optional<ConfError> save(ConfName path) {
        return save(path, 0, std::chrono::milliseconds(CONF_DOC_DEFAULT_WAIT_MS));
    }

    // CONF_doc_save_with: flags CONF_DOC_IN_PLACE or CONF_DOC_NEW_FILE, and
    // how long another writer's lock is waited for.  -119 (written, the
    // directory not synced) is returned as an error too.
    std::optional<ConfError> save(ConfName path, unsigned flags, std::chrono::milliseconds wait) {
        const detail::CName file(path);
        if (file.status() == detail::CName::kNoMemory) return Conf::no_memory();
        const auto ms = wait.count() < 0 ? 0 : wait.count() > INT_MAX ? INT_MAX : wait.count();
        return result(CONF_doc_save_with(get(), file.c_str(), flags, static_cast<int>(ms)));
    }

  private:
    using EditCall = int (*)(CONF_DOC *, const char *, const char *, const char *);

    static ConfError null_document() { return ConfError{-100, "null document pointer", 0}; }

    ConfError error(int rc) const {
        if (get() == nullptr) return null_document();
        int line = 0;
        const char *text = CONF_doc_last_error(get(), &line);
        return ConfError{rc, text != nullptr ? text : "", line};
    }
    std::optional<ConfError> result(int rc) const {
        if (rc >= 0) return std::nullopt;
        return error(rc);
    }
    ConfRemoved removed(int rc) const {
        if (rc < 0) return {0, error(rc)};
        return {rc, std::nullopt};
    }

    std::optional<ConfError> edit(const ConfName &section, const ConfName &name,
                                  const ConfName &value, EditCall call) {
        if (get() == nullptr) return null_document();
        const detail::CName s(section);
        const detail::CName n(name);
        const detail::CName v(value);
        for (const detail::CName *c : {&s, &n, &v}) {
            if (c->status() == detail::CName::kHoldsNul) {
                return ConfError{-110, "name cannot be written", 0};
            }
            if (c->status() == detail::CName::kNoMemory) return Conf::no_memory();
        }
        return result(call(get(), s.c_str(), n.c_str(), v.c_str()));
    }

    detail::Handle<CONF_DOC, &CONF_doc_free> handle_;
};

// One entry added, removed or changed by a reload (CONF_CHANGE, copied).
struct ConfChange {
    int kind = 0;  // CONF_CHANGE_ADDED, _REMOVED or _CHANGED
    std::string section;
    std::string name;
    std::optional<std::string> old_value;  // none when added
    std::optional<std::string> new_value;  // none when removed
    std::string file;                      // the new value's; empty when none
    int line = 0;
};

// What a reload did: the error, with the configuration in use unchanged, or
// the changes of the new configuration, now in use.
struct LiveReload {
    std::optional<ConfError> error;
    std::vector<ConfChange> changes;
};

// A live configuration (conf_live.h states every rule): reloaded by one
// thread while any number of threads read it through snapshots.  Owns a
// CONF_LIVE; move-only.  Every snapshot must be gone before the LiveConf.
class LiveConf {
  public:
    // Live configurations of one file and of a layered set.  Throw
    // std::bad_alloc when memory is exhausted.  Nothing is read yet.
    static LiveConf file(ConfName path) {
        const detail::CName p(path);
        if (p.status() == detail::CName::kNoMemory) throw std::bad_alloc();
        return LiveConf(CONF_live_new_file(p.c_str()));
    }
    template <typename Dirs>
    static LiveConf layered(const Dirs &dirs, ConfName name) {
        std::vector<std::string> copies;
        for (const auto &d : dirs) copies.emplace_back(std::string_view(d));
        std::vector<const char *> paths;
        for (const std::string &d : copies)
            paths.push_back(d.find('\0') == std::string::npos ? d.c_str() : nullptr);
        const detail::CName n(name);
        if (n.status() == detail::CName::kNoMemory) throw std::bad_alloc();
        return LiveConf(CONF_live_new_layered(paths.data(), paths.size(), n.c_str()));
    }
    static LiveConf layered(std::initializer_list<std::string_view> dirs, ConfName name) {
        return layered<std::initializer_list<std::string_view> >(dirs, name);
    }

    CONF_LIVE *get() const noexcept { return live_.get(); }

    // CONF_live_reload, with the error (number, text and line) or a copy of
    // the changes.  A moved-from LiveConf gives -100.
    // May throw std::bad_alloc (the copies), after the reload took effect.
    LiveReload reload() {
        LiveReload r;
        const int rc = CONF_live_reload(live_.get());
        if (rc < 0) {
            int line = 0;
            const char *text = CONF_live_last_error(live_.get(), nullptr, &line);
            r.error = ConfError{
                rc, detail::without_line(text != nullptr ? text : "null context pointer", line),
                line};
            return r;
        }
        size_t n = 0;
        const CONF_CHANGE *c = CONF_live_changes(live_.get(), &n);
        r.changes.reserve(n);
        for (size_t i = 0; i < n; ++i) r.changes.push_back(copy(c[i]));
        return r;
    }

    // CONF_live_changed (1 or 0; -100 when moved from) and
    // CONF_live_watch_fd (-1 when inotify is not available).
    int changed() noexcept { return CONF_live_changed(live_.get()); }
    int watch_fd() noexcept { return CONF_live_watch_fd(live_.get()); }
    // CONF_live_set_schema: later reloads refuse what schema finds an error
    // in.  schema is used, not copied, and must outlive its use here (an
    // empty Schema stops the check).
    void set_schema(const Schema &schema) noexcept {
        CONF_live_set_schema(live_.get(), schema.get());
    }
    // The file and line of the last failed reload's error; empty and 0 after
    // a success.
    ConfOrigin last_error_origin() const noexcept {
        const char *file = nullptr;
        int line = 0;
        CONF_live_last_error(live_.get(), &file, &line);
        return ConfOrigin{file != nullptr ? file : "", line};
    }
    std::uint64_t generation() const noexcept { return CONF_live_generation(live_.get()); }

    // The configuration in use, held from construction to destruction on
    // one thread (it may be moved, but not to another thread): the Conf
    // lookups through -> and *.  Empty (every lookup finds nothing, and the
    // Snapshot is false) before the first good reload, for a moved-from
    // LiveConf, and when CONF_LIVE_MAX_SNAPSHOTS are held.
    class Snapshot {
      public:
        explicit Snapshot(const LiveConf &live) noexcept
            : live_(live.live_.get()), conf_(CONF_live_acquire(live.live_.get())) {}
        ~Snapshot() { CONF_live_release(live_, conf_.release()); }
        Snapshot(Snapshot &&other) noexcept : live_(other.live_), conf_(other.conf_.release()) {}
        Snapshot &operator=(Snapshot &&) = delete;
        Snapshot(const Snapshot &) = delete;
        Snapshot &operator=(const Snapshot &) = delete;

        explicit operator bool() const noexcept { return conf_.get() != nullptr; }
        const Conf &operator*() const noexcept { return conf_; }
        const Conf *operator->() const noexcept { return &conf_; }

      private:
        CONF_LIVE *live_;
        Conf conf_;  // a view: the context is given back, never freed, here
    };

    Snapshot snapshot() const noexcept { return Snapshot(*this); }

  private:
    explicit LiveConf(CONF_LIVE *live) : live_(live) {
        if (live_.get() == nullptr) throw std::bad_alloc();
    }
    static ConfChange copy(const CONF_CHANGE &c) {
        ConfChange out;
        out.kind = c.kind;
        out.section = c.section;
        out.name = c.name;
        if (c.old_value != nullptr) out.old_value = c.old_value;
        if (c.new_value != nullptr) out.new_value = c.new_value;
        if (c.file != nullptr) out.file = c.file;
        out.line = c.line;
        return out;
    }

    detail::Handle<CONF_LIVE, &CONF_live_free> live_;
};

}  // namespace nivra

#endif  // C++17
#endif  // NIVRA_CONF_HPP
