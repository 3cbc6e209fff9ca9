// conf_buffer.h - the library's growable containers: an array of plain
// records, a byte buffer and a table of hashed slots, all from the C heap.  Internal to the
// library; not installed.
//
// Neither throws, aborts or needs the C++ runtime.  Every call that may
// need memory returns false when there is none, and the container is then
// exactly as it was before the call (its bytes, size and capacity): the
// caller turns that false into -102 and has nothing to roll back here.  A
// block grows to at least twice its capacity, so n appends cost O(log n)
// reallocations; its byte count is checked against overflow before the
// allocation, and the new capacity is committed only once it succeeded.
#ifndef NIVRA_CONF_BUFFER_H
#define NIVRA_CONF_BUFFER_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

namespace nivra::conf {

// The capacity, in units, that a block of cap units grows to so as to hold
// need units (need > cap): twice cap, at least first, at least need, at
// most limit; 0 when need itself is past limit.
constexpr size_t grown_capacity(size_t cap, size_t need, size_t first, size_t limit) {
    if (need > limit) return 0;
    const size_t doubled = cap < first ? first : (cap <= limit / 2 ? 2 * cap : limit);
    return doubled < need ? need : doubled;
}

static_assert(grown_capacity(0, 1, 8, 100) == 8 && grown_capacity(8, 9, 8, 100) == 16);
static_assert(grown_capacity(8, 40, 8, 100) == 40 && grown_capacity(60, 61, 8, 100) == 100);
static_assert(grown_capacity(60, 101, 8, 100) == 0);

// A growable array of records that are copied as bytes (no constructor or
// destructor runs: the array holds copies, and owns nothing they point
// to).  Elements stay where they are until the next call that grows it.
template <typename T>
class GrowArray {
    static_assert(std::is_trivially_copyable_v<T>, "records are moved by realloc");

  public:
    GrowArray() = default;
    ~GrowArray() { std::free(items_); }
    GrowArray(const GrowArray &) = delete;
    GrowArray &operator=(const GrowArray &) = delete;

    // Room for n records in all, so that pushes up to n cannot fail.
    [[nodiscard]] bool reserve(size_t n) {
        if (n <= cap_) return true;
        const size_t cap = grown_capacity(cap_, n, kFirst, PTRDIFF_MAX / sizeof(T));
        if (cap == 0) return false;
        void *p = std::realloc(items_, cap * sizeof(T));
        if (p == nullptr) return false;
        items_ = static_cast<T *>(p);
        cap_ = cap;  // committed only once the block is there
        return true;
    }
    // reserve for an array whose records no longer matter: they are
    // dropped, and a larger block replaces the old one without copying it
    // (the old is freed once the new is there).  Unchanged when that fails.
    [[nodiscard]] bool reserve_discarding(size_t n) {
        if (n <= cap_) {
            size_ = 0;
            return true;
        }
        const size_t cap = grown_capacity(cap_, n, kFirst, PTRDIFF_MAX / sizeof(T));
        if (cap == 0) return false;
        void *p = std::malloc(cap * sizeof(T));
        if (p == nullptr) return false;
        std::free(items_);
        items_ = static_cast<T *>(p);
        cap_ = cap;
        size_ = 0;
        return true;
    }
    // Appends a copy of v.
    bool push(const T &v) {
        if (size_ == cap_ && !reserve(size_ + 1)) return false;
        items_[size_++] = v;
        return true;
    }
    // Makes the array n copies of v; unchanged when memory runs out.
    [[nodiscard]] bool fill(size_t n, const T &v) {
        if (!reserve(n)) return false;
        for (size_t i = 0; i < n; ++i) items_[i] = v;
        size_ = n;
        return true;
    }
    // Appends copies of the n records at src, after reserve made room; src
    // may lie in that room (an array put together in its own block).
    void append_reserved(const T *src, size_t n) {
        if (n > 0) std::memmove(items_ + size_, src, n * sizeof(T));
        size_ += n;
    }
    // Drops every record; the block is kept for reuse.
    void clear() { size_ = 0; }
    // Keeps the first n records (n at most size()); the block is kept.
    void truncate(size_t n) { size_ = n < size_ ? n : size_; }
    // Hands the records (a block from malloc, null when there were never
    // any) to the caller; the array is empty afterwards.
    T *release() {
        T *p = items_;
        items_ = nullptr;
        size_ = cap_ = 0;
        return p;
    }

    // Gives back the room past the records (when the block can shrink).
    void shrink() {
        if (size_ == 0 || size_ == cap_) return;
        void *p = std::realloc(items_, size_ * sizeof(T));
        if (p == nullptr) return;  // the larger block serves as well
        items_ = static_cast<T *>(p);
        cap_ = size_;
    }
    // Exchanges the records of the two arrays.
    void swap(GrowArray &other) {
        std::swap(items_, other.items_);
        std::swap(size_, other.size_);
        std::swap(cap_, other.cap_);
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T &operator[](size_t i) { return items_[i]; }
    const T &operator[](size_t i) const { return items_[i]; }
    T *begin() { return items_; }
    T *end() { return items_ + size_; }
    const T *begin() const { return items_; }
    const T *end() const { return items_ + size_; }

  private:
    static constexpr size_t kFirst = 8;

    T *items_ = nullptr;
    size_t size_ = 0;
    size_t cap_ = 0;
};

// A growable byte string.  The checked appends keep it NUL-terminated once
// anything was added (data() is "" before), so it serves as a C string; the
// terminator is not counted in size() but always has room.  A buffer may
// start in storage of its owner's (an inline array, so that short texts
// cost no allocation); the first growth past it moves the bytes to the
// heap.
//
// Writers that know their room (the expansion of a value, whose room is
// reserved once per reference) may write through put_reserved and
// append_reserved, which check nothing and leave the terminator to
// terminate().
class ByteBuffer {
  public:
    ByteBuffer() = default;
    // Starts empty in storage, capacity bytes (at least one) that outlive
    // the buffer and are never freed by it.
    ByteBuffer(char *storage, size_t capacity) : data_(storage), cap_(capacity), on_heap_(false) {
        data_[0] = '\0';
    }
    ~ByteBuffer() {
        if (on_heap_) std::free(data_);
    }
    ByteBuffer(const ByteBuffer &) = delete;
    ByteBuffer &operator=(const ByteBuffer &) = delete;

    const char *data() const { return data_ != nullptr ? data_ : ""; }
    // The bytes, to be written in place (null before anything was added).
    char *bytes() { return data_; }
    size_t size() const { return len_; }
    size_t capacity() const { return cap_; }

    // Room for total bytes in all, the terminator included; the bytes held
    // are kept.
    [[nodiscard]] bool reserve(size_t total) { return total <= cap_ || grow(total); }
    // reserve for a buffer whose bytes no longer matter: it is emptied, and
    // a larger block replaces the old one without copying it.  Unchanged
    // when that fails.
    [[nodiscard]] bool reserve_discarding(size_t total) {
        if (total > cap_) {
            const size_t cap = grown_capacity(cap_, total, kFirst, PTRDIFF_MAX);
            void *p = cap != 0 ? std::malloc(cap) : nullptr;
            if (p == nullptr) return false;
            if (on_heap_) std::free(data_);
            data_ = static_cast<char *>(p);
            cap_ = cap;
            on_heap_ = true;
        }
        truncate(0);
        return true;
    }
    bool append(const char *s, size_t n) {
        if (n >= SIZE_MAX - len_ || !reserve(len_ + n + 1)) return false;
        if (n > 0) std::memcpy(data_ + len_, s, n);
        len_ += n;
        data_[len_] = '\0';
        return true;
    }
    bool append(const char *s) { return append(s, std::strlen(s)); }
    bool put(char c) { return append(&c, 1); }

    // Empties the text; the block is kept for reuse.
    void clear() { truncate(0); }
    // Keeps the first n bytes (n at most size()).
    void truncate(size_t n) {
        len_ = n;
        if (data_ != nullptr) data_[len_] = '\0';
    }

    // Writes into room reserved before: size() + n + 1 <= capacity().
    void put_reserved(char c) { data_[len_++] = c; }
    void append_reserved(const char *s, size_t n) {
        std::memcpy(data_ + len_, s, n);
        len_ += n;
    }
    // Writes the terminator after the bytes written through the two above.
    void terminate() { data_[len_] = '\0'; }

    // Hands the bytes over as one NUL-terminated block from malloc (a copy
    // when they are in the owner's storage); null when memory runs out, the
    // buffer then unchanged.  The buffer is empty and unallocated after.
    char *release();
    void swap(ByteBuffer &other);
    // Gives back the room past the bytes and the terminator, for a buffer
    // on the heap.
    void shrink() {
        if (!on_heap_ || data_ == nullptr || cap_ == len_ + 1) return;
        void *p = std::realloc(data_, len_ + 1);
        if (p == nullptr) return;
        data_ = static_cast<char *>(p);
        cap_ = len_ + 1;
    }

  private:
    static constexpr size_t kFirst = 64;

    // Reallocates to hold need bytes or more; unchanged when that fails.
    bool grow(size_t need);

    char *data_ = nullptr;
    size_t len_ = 0;
    size_t cap_ = 0;
    bool on_heap_ = true;  // data_ is the buffer's own block (or null)
};

inline bool ByteBuffer::grow(size_t need) {
    const size_t cap = grown_capacity(cap_, need, kFirst, PTRDIFF_MAX);
    if (cap == 0) return false;
    void *p = on_heap_ ? std::realloc(data_, cap) : std::malloc(cap);
    if (p == nullptr) return false;
    if (!on_heap_ && data_ != nullptr) std::memcpy(p, data_, len_ + 1);  // the terminator too
    data_ = static_cast<char *>(p);
    cap_ = cap;
    on_heap_ = true;
    return true;
}

inline char *ByteBuffer::release() {
    if ((data_ == nullptr || !on_heap_) && !grow(len_ + 1)) return nullptr;
    if (len_ == 0) data_[0] = '\0';
    char *out = data_;
    data_ = nullptr;
    len_ = cap_ = 0;
    return out;
}

inline void ByteBuffer::swap(ByteBuffer &other) {
    std::swap(data_, other.data_);
    std::swap(len_, other.len_);
    std::swap(cap_, other.cap_);
    std::swap(on_heap_, other.on_heap_);
}

// A table of (hash, value) pairs for an index whose keys live elsewhere:
// several pairs may share a hash, and find asks the caller which of their
// values is the one wanted.  Open addressing, never more than half full,
// so a lookup probes a few slots.  Pairs are never removed one by one; a
// value may be changed in place through find.  Values are below SIZE_MAX,
// which marks a free slot.
class HashSlots {
  public:
    HashSlots() = default;
    ~HashSlots() { std::free(slots_); }
    HashSlots(const HashSlots &) = delete;
    HashSlots &operator=(const HashSlots &) = delete;

    // Room for count pairs in all, so that adds up to count cannot fail.
    [[nodiscard]] bool reserve(size_t count) {
        if (slots_ != nullptr && count <= (mask_ + 1) / 2) return true;
        size_t cap = 16;
        while (cap / 2 < count) {
            if (cap > PTRDIFF_MAX / sizeof(Slot) / 2) return false;
            cap *= 2;
        }
        auto *fresh = static_cast<Slot *>(std::malloc(cap * sizeof(Slot)));
        if (fresh == nullptr) return false;
        for (size_t i = 0; i < cap; ++i) fresh[i].value = kFree;
        Slot *old = slots_;
        const size_t old_cap = old != nullptr ? mask_ + 1 : 0;
        slots_ = fresh;
        mask_ = cap - 1;
        for (size_t i = 0; i < old_cap; ++i) {
            if (old[i].value != kFree) place(old[i]);
        }
        std::free(old);
        return true;
    }
    // The value of the pair with hash that match(value) accepts; null when
    // there is none.
    template <typename Match>
    size_t *find(uint64_t hash, const Match &match) {
        if (slots_ == nullptr) return nullptr;
        for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
            Slot &s = slots_[i];
            if (s.value == kFree) return nullptr;
            if (s.hash == hash && match(s.value)) return &s.value;
        }
    }
    template <typename Match>
    const size_t *find(uint64_t hash, const Match &match) const {
        return const_cast<HashSlots *>(this)->find(hash, match);
    }
    // Adds a pair; reserve made room for it.
    void add(uint64_t hash, size_t value) {
        place(Slot{hash, value});
        ++size_;
    }
    size_t size() const { return size_; }
    // Drops every pair and the block.
    void reset() {
        std::free(slots_);
        slots_ = nullptr;
        mask_ = 0;
        size_ = 0;
    }

  private:
    static constexpr size_t kFree = SIZE_MAX;
    struct Slot {
        uint64_t hash;
        size_t value;
    };
    void place(const Slot &slot) {
        size_t i = slot.hash & mask_;
        while (slots_[i].value != kFree) i = (i + 1) & mask_;
        slots_[i] = slot;
    }

    Slot *slots_ = nullptr;
    size_t mask_ = 0;
    size_t size_ = 0;
};

}  // namespace nivra::conf

#endif  // NIVRA_CONF_BUFFER_H
