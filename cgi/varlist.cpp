// The readers' variables list: order of first appearance, unique names,
// hash lookup, amortised growth of lists and joined values.
#include "cgi/internal.h"

#include <cstdint>
#include <cstring>

namespace ostrel {

namespace {

template <class T> bool resize(T *&p, size_t n, const char *what)
{
    void *q = std::realloc(p, n * sizeof(T));
    if (!q) {
        out_of_memory(what);
        return false;
    }
    p = static_cast<T *>(q);
    return true;
}

} // namespace

VarList::~VarList()
{
    std::free(lengths_);
    std::free(capacities_);
    std::free(index_);
}

long VarList::find(const char *name) const
{
    if (index_)
        return probe(name, hash_name(name));
    for (size_t i = 0; i < count(); i++)
        if (std::strcmp(at(i)->name, name) == 0)
            return static_cast<long>(i);
    return -1;
}

long VarList::probe(const char *name, unsigned h) const
{
    for (size_t k = h & (index_size_ - 1);; k = (k + 1) & (index_size_ - 1)) {
        const Slot &slot = index_[k];
        if (slot.entry == 0)
            return -1;
        if (slot.hash == h && std::strcmp(at(slot.entry - 1)->name, name) == 0)
            return static_cast<long>(slot.entry - 1);
    }
}

void VarList::index_insert(Slot slot)
{
    size_t k = slot.hash & (index_size_ - 1);
    while (index_[k].entry)
        k = (k + 1) & (index_size_ - 1);
    index_[k] = slot;
}

// A new index at most half full: the old one's slots move over, and the
// entries that it does not hold yet (all of them the first time) are hashed.
// Without memory for it the list is searched linearly instead.
bool VarList::rebuild_index()
{
    size_t size = 64;
    while (size / 2 < count())
        size *= 2;
    Slot *old = index_;
    size_t old_size = index_size_, moved = 0;
    index_ = static_cast<Slot *>(std::calloc(size, sizeof *index_));
    index_size_ = index_ ? size : 0;
    if (!index_)
        out_of_memory("the variables index; searching the list instead");
    if (index_) {
        for (size_t k = 0; k < old_size; k++) {
            if (old[k].entry) {
                index_insert(old[k]);
                moved++;
            }
        }
        for (size_t i = moved; i < count(); i++)
            index_insert(Slot{static_cast<unsigned>(i + 1), hash_name(at(i)->name)});
    }
    std::free(old);
    return index_ != nullptr;
}

// The value lengths and capacities keep pace with the list's slots.
bool VarList::grow_sizes()
{
    if (!vars_.reserve())
        return false;
    size_t slots = vars_.slots();
    if (sizes_ < slots) {
        if (!resize(lengths_, slots, "the value lengths") || !resize(capacities_, slots, "the value capacities"))
            return false;
        sizes_ = slots;
    }
    return true;
}

bool VarList::add(char *name, char *value) { return insert(name, value, index_ ? hash_name(name) : 0); }

bool VarList::insert(char *name, char *value, unsigned hash)
{
    if (!grow_sizes())
        return false;
    cgi_var *v = static_cast<cgi_var *>(std::malloc(sizeof *v));
    if (!v) {
        out_of_memory("a variable");
        return false;
    }
    v->name = name;
    v->value = value;
    size_t len = std::strlen(value);
    size_t i = count();
    lengths_[i] = len;
    capacities_[i] = len + 1;
    vars_.append(v); // room was made above
    size_t n = count();
    if (n > index_size_ / 2 && n > 8)
        rebuild_index(); // on failure: linear search
    else if (index_)
        index_insert(Slot{static_cast<unsigned>(n), hash});
    return true;
}

// A new name is hashed once, for the lookup and the index alike: hashing it
// twice took 7% more instructions to read 100 000 short names.
long VarList::put(Owned<char> &name, const char *text, bool decode)
{
    unsigned hash = index_ ? hash_name(name.get()) : 0;
    long i = index_ ? probe(name.get(), hash) : find(name.get());
    if (i >= 0)
        return append(static_cast<size_t>(i), "\n", text, std::strlen(text)) ? i : -1;
    if (limits_ && count() >= limits_->fields) {
        refusal_ = CGI_REFUSED_FIELDS;
        return -1;
    }
    Owned<char> value(copy_string(text));
    if (!value)
        return -1;
    if (decode)
        cgi_decode(value.get());
    if (limits_ &&
        (std::strlen(name.get()) > limits_->value_bytes || std::strlen(value.get()) > limits_->value_bytes)) {
        refusal_ = CGI_REFUSED_VALUE_BYTES;
        return -1;
    }
    if (!insert(name.get(), value.get(), hash))
        return -1;
    name.release();
    value.release();
    return static_cast<long>(count() - 1);
}

bool VarList::append(size_t i, const char *sep, const char *text, size_t n)
{
    size_t sep_len = std::strlen(sep);
    size_t len = lengths_[i] + sep_len + n;
    if (limits_ && len > limits_->value_bytes) {
        refusal_ = CGI_REFUSED_VALUE_BYTES;
        return false;
    }
    char *value = at(i)->value;
    if (len + 1 > capacities_[i]) {
        size_t cap = len + 1 > 2 * capacities_[i] ? len + 1 : 2 * capacities_[i];
        if (!resize(value, cap, "a longer value"))
            return false;
        capacities_[i] = cap;
        at(i)->value = value;
    }
    std::memcpy(value + lengths_[i], sep, sep_len);
    std::memcpy(value + lengths_[i] + sep_len, text, n);
    value[len] = '\0';
    lengths_[i] = len;
    return true;
}

cgi_var **VarList::release()
{
    std::free(lengths_);
    std::free(capacities_);
    std::free(index_);
    lengths_ = capacities_ = nullptr;
    index_ = nullptr;
    sizes_ = index_size_ = 0;
    return vars_.take();
}

} // namespace ostrel
