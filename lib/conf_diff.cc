// conf_diff.cc - the changes between two contexts' entries.
//
// Two passes: the first finds the changes as pointers into the contexts and
// sums the bytes of their strings, the second copies them into one block
// (the array, then the strings), so a report is one allocation besides the
// scratch list and running out of memory has one place to fail.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "conf_live.h"
#include "conf_buffer.h"
#include "conf_store.h"

using namespace nivra::conf;

namespace {

// The changes found so far, pointing into the two contexts.
class Found {
  public:
    bool add(const CONF_CHANGE &c) {
        if (!items_.push(c)) return false;
        bytes_ += text_size(c.section) + text_size(c.name) + text_size(c.old_value) +
                  text_size(c.new_value) + text_size(c.file);
        return true;
    }
    // Section by section, name by name, in byte order.
    void sort() {
        if (items_.size() > 1)
            std::qsort(items_.begin(), items_.size(), sizeof(CONF_CHANGE), compare);
    }
    size_t size() const { return items_.size(); }
    size_t bytes() const { return bytes_; }
    const CONF_CHANGE &operator[](size_t i) const { return items_[i]; }

  private:
    static size_t text_size(const char *s) { return s != nullptr ? std::strlen(s) + 1 : 0; }
    static int compare(const void *a, const void *b) {
        const auto *x = static_cast<const CONF_CHANGE *>(a);
        const auto *y = static_cast<const CONF_CHANGE *>(b);
        if (const int c = std::strcmp(x->section, y->section); c != 0) return c;
        return std::strcmp(x->name, y->name);
    }
    GrowArray<CONF_CHANGE> items_;
    size_t bytes_ = 0;
};

// The change of key's entry from old_entry to new_entry (either may be null).
CONF_CHANGE change(int kind, const CONF_VALUE &key, const CONF_VALUE *old_entry,
                   const CONF_VALUE *new_entry) {
    CONF_CHANGE c{kind, key.section, key.name, nullptr, nullptr, nullptr, 0};
    if (old_entry != nullptr) c.old_value = old_entry->value;
    if (new_entry != nullptr) {
        c.new_value = new_entry->value;
        c.file = origin_of(new_entry)->file;
        c.line = origin_of(new_entry)->line;
    }
    return c;
}

CONF_VALUE *find_in(CONF_CTX *ctx, const CONF_VALUE *entry) {
    if (ctx == nullptr || ctx->table == nullptr) return nullptr;
    return find_entry(ctx, entry->section, entry->name);
}

// The entries of from that other lacks (added when from is the new context,
// removed when it is the old one) and, from the new side only, those whose
// value differs.
bool scan(CONF_CTX *from, CONF_CTX *other, bool from_is_new, Found *found) {
    LH_TABLE *t = from != nullptr ? from->table : nullptr;
    for (int s = 0; s < section_count(t); ++s) {
        const CONF_VALUE *section = section_at(t, s);
        for (int e = 0; e < entry_count(section); ++e) {
            const CONF_VALUE &entry = *entry_at(section, e);
            const CONF_VALUE *twin = find_in(other, &entry);
            bool ok = true;
            if (twin == nullptr) {
                ok = from_is_new ? found->add(change(CONF_CHANGE_ADDED, entry, nullptr, &entry))
                                 : found->add(change(CONF_CHANGE_REMOVED, entry, &entry, nullptr));
            } else if (from_is_new && std::strcmp(twin->value, entry.value) != 0) {
                ok = found->add(change(CONF_CHANGE_CHANGED, entry, twin, &entry));
            }
            if (!ok) return false;
        }
    }
    return true;
}

// Copies s to *pool and returns the copy (null stays null).
const char *copy_into(char **pool, const char *s) {
    if (s == nullptr) return nullptr;
    const size_t n = std::strlen(s) + 1;
    char *copy = *pool;
    std::memcpy(copy, s, n);
    *pool += n;
    return copy;
}

}  // namespace

extern "C" {

int CONF_diff(CONF_CTX *old_ctx, CONF_CTX *new_ctx, CONF_CHANGE **changes) {
    if (changes == nullptr) return kErrNullContext;
    *changes = nullptr;
    Found found;
    if (!scan(new_ctx, old_ctx, true, &found) || !scan(old_ctx, new_ctx, false, &found))
        return kErrMemory;
    if (found.size() == 0) return 0;
    found.sort();
    const size_t head = found.size() * sizeof(CONF_CHANGE);
    auto *block = static_cast<CONF_CHANGE *>(std::malloc(head + found.bytes()));
    if (block == nullptr) return kErrMemory;
    char *pool = reinterpret_cast<char *>(block) + head;
    for (size_t i = 0; i < found.size(); ++i) {
        const CONF_CHANGE &c = found[i];
        block[i] = CONF_CHANGE{c.kind,
                               copy_into(&pool, c.section),
                               copy_into(&pool, c.name),
                               copy_into(&pool, c.old_value),
                               copy_into(&pool, c.new_value),
                               copy_into(&pool, c.file),
                               c.line};
    }
    *changes = block;
    return static_cast<int>(found.size());
}

void CONF_changes_free(CONF_CHANGE *changes) { std::free(changes); }

}  // extern "C"
