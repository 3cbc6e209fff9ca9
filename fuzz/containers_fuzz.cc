// Fuzz target: the hash table and the stack against simple models.
//
// The input is a sequence of operations.  The table holds pointers to a fixed
// pool of key strings (two distinct copies of each, so that replacement is
// visible) and is checked against std::unordered_map and its invariants after
// every step; the stack is checked against std::vector.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "container_check.h"
#include "lhash.h"
#include "stack.h"

namespace {

[[noreturn]] void Fail(const char *what) {
    std::fprintf(stderr, "model mismatch: %s\n", what);
    std::abort();
}
#define REQUIRE(cond)             \
    do {                          \
        if (!(cond)) Fail(#cond); \
    } while (0)

constexpr int kKeys = 64;
struct Pool {
    char keys[2][kKeys][8];
    Pool() {
        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < kKeys; ++i) std::snprintf(keys[c][i], 8, "k%d", i);
    }
};
Pool g_pool;

// A poor hash that makes long chains and many equal hashes.
uint32_t PoorHash(const void *r) {
    return static_cast<uint32_t>(static_cast<const char *>(r)[1]) & 7;
}

class Input {
  public:
    Input(const uint8_t *d, size_t n) : d_(d), n_(n) {}
    bool empty() const { return i_ >= n_; }
    uint8_t byte() { return i_ < n_ ? d_[i_++] : 0; }

  private:
    const uint8_t *d_;
    size_t n_;
    size_t i_ = 0;
};

void CheckTable(const LH_TABLE *t, const std::unordered_map<std::string, char *> &model) {
    const std::string why = TableProblem(t);
    if (!why.empty()) Fail(why.c_str());
    REQUIRE(t->item_count == model.size());
}

void FuzzTable(Input &in) {
    LH_TABLE *t = lh_new(in.byte() & 1 ? PoorHash : nullptr, nullptr);
    if (t == nullptr) return;
    std::unordered_map<std::string, char *> model;
    for (int steps = 0; !in.empty() && steps < 4000; ++steps) {
        const uint8_t op = in.byte();
        const uint8_t arg = in.byte();
        char *key = g_pool.keys[arg >> 7][arg % kKeys];
        switch (op % 6) {
            case 0:
            case 1: {  // insert
                auto it = model.find(key);
                void *old = lh_insert(t, key);
                REQUIRE(t->error == 0);
                if (it == model.end()) {
                    REQUIRE(old == nullptr);
                    model.emplace(key, key);
                } else {
                    REQUIRE(old == it->second);
                    it->second = key;
                }
                break;
            }
            case 2: {  // delete
                auto it = model.find(key);
                void *got = lh_delete(t, key);
                REQUIRE(got == (it == model.end() ? nullptr : it->second));
                if (it != model.end()) model.erase(it);
                break;
            }
            case 3: {  // retrieve
                auto it = model.find(key);
                REQUIRE(lh_retrieve(t, key) == (it == model.end() ? nullptr : it->second));
                break;
            }
            case 4:  // thresholds may change at any time
                t->grow_load = 64u + arg * 8u;
                t->shrink_load = arg & 1 ? 0u : t->grow_load / 2;
                break;
            case 5: {  // a traversal that deletes some of the records it is given
                struct Ctx {
                    LH_TABLE *t;
                    std::unordered_map<std::string, char *> *model;
                    uint8_t mask;
                } c{t, &model, arg};
                lh_doall_arg(
                    t,
                    [](void *r, void *a) {
                        auto *c = static_cast<Ctx *>(a);
                        auto *k = static_cast<char *>(r);
                        if ((k[1] & c->mask & 3) != 0) return;
                        auto it = c->model->find(k);
                        if (it == c->model->end()) return;  // visited twice after a merge
                        REQUIRE(lh_delete(c->t, k) == r);
                        c->model->erase(it);
                    },
                    &c);
                break;
            }
        }
        CheckTable(t, model);
    }
    lh_free(t);
}

int ByValue(const void *a, const void *b) {
    const int x = **static_cast<const int *const *>(a), y = **static_cast<const int *const *>(b);
    return (x > y) - (x < y);
}

void CheckStack(const SK_STACK *sk, const std::vector<void *> &model) {
    REQUIRE(sk->count == static_cast<int>(model.size()));
    const std::string why = StackProblem(sk);
    if (!why.empty()) Fail(why.c_str());
    REQUIRE(std::equal(model.begin(), model.end(), sk->items));
}

void FuzzStack(Input &in) {
    static int values[16];
    for (int i = 0; i < 16; ++i) values[i] = i / 2;  // pairs of equal values
    SK_STACK *sk = sk_new(nullptr);
    if (sk == nullptr) return;
    std::vector<void *> model;
    for (int steps = 0; !in.empty() && steps < 4000; ++steps) {
        const uint8_t op = in.byte();
        const uint8_t arg = in.byte();
        void *elem = &values[arg % 16];
        const int loc = static_cast<int8_t>(in.byte()) % 40;
        const int n = static_cast<int>(model.size());
        switch (op % 9) {
            case 0:
                REQUIRE(sk_push(sk, elem) == n + 1);
                model.push_back(elem);
                break;
            case 1:
                REQUIRE(sk_insert(sk, elem, loc) == n + 1);
                model.insert(loc >= 0 && loc < n ? model.begin() + loc : model.end(), elem);
                break;
            case 2: {
                void *got = sk_delete(sk, loc);
                if (loc >= 0 && loc < n) {
                    REQUIRE(got == model[loc]);
                    model.erase(model.begin() + loc);
                } else {
                    REQUIRE(got == nullptr);
                }
                break;
            }
            case 3: {
                auto it = std::find(model.begin(), model.end(), elem);
                REQUIRE(sk_delete_ptr(sk, elem) == (it == model.end() ? nullptr : elem));
                if (it != model.end()) model.erase(it);
                break;
            }
            case 4:
                REQUIRE(sk_pop(sk) == (n ? model.back() : nullptr));
                if (n) model.pop_back();
                REQUIRE(sk_shift(sk) == (model.empty() ? nullptr : model.front()));
                if (!model.empty()) model.erase(model.begin());
                break;
            case 5: sk_set_cmp_func(sk, arg & 1 ? ByValue : nullptr); break;
            case 6: {
                const int i = sk_find(sk, elem);
                if (sk->compare_fn == nullptr) {
                    auto it = std::find(model.begin(), model.end(), elem);
                    REQUIRE(i == (it == model.end() ? -1 : static_cast<int>(it - model.begin())));
                } else {
                    // Sorted now; equal elements may be in any order.
                    model.assign(sk->items, sk->items + sk->count);
                    auto lo = std::find_if(model.begin(), model.end(), [&](void *p) {
                        return *static_cast<int *>(p) >= *static_cast<int *>(elem);
                    });
                    const bool hit =
                        lo != model.end() && *static_cast<int *>(*lo) == *static_cast<int *>(elem);
                    REQUIRE(i == (hit ? static_cast<int>(lo - model.begin()) : -1));
                    REQUIRE(sk->sorted == 1);
                }
                break;
            }
            case 7: {
                SK_STACK *copy = sk_dup(sk);
                if (copy != nullptr) {
                    CheckStack(copy, model);
                    REQUIRE(copy->capacity == sk->capacity);
                    sk_free(copy);
                }
                break;
            }
            case 8:
                if (arg == 0) {
                    sk_zero(sk);
                    model.clear();
                }
                break;
        }
        CheckStack(sk, model);
    }
    sk_free(sk);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    if (in.byte() & 1) {
        FuzzStack(in);
    } else {
        FuzzTable(in);
    }
    return 0;
}
