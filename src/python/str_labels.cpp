#include "python/str_labels.hpp"

namespace quorlin {

std::uint32_t StrEntryCache::find(PyObject* str) noexcept {
    ++lookups_;
    if (slots_.empty()) return kNoEntry;
    for (std::size_t i = slot_of(str);; i = (i + 1) & mask_) {
        if (slots_[i].key == str) return slots_[i].entry;
        if (slots_[i].key == nullptr) return kNoEntry;
    }
}

void StrEntryCache::insert(PyObject* str, std::uint32_t entry) {
    if ((used_ + 1) * 2 > slots_.size()) grow();
    place(Slot{held_ ? Py_NewRef(str) : str, entry});
    ++used_;
    // Nearly every object distinct: the cache would only cost, so it stops. Below that it pays:
    // a miss costs a probe, a hit spares copying and hashing the text.
    if (!dedupe_pays(lookups_, used_)) stop();
}

void StrEntryCache::place(Slot slot) noexcept {
    std::size_t i = slot_of(slot.key);
    while (slots_[i].key != nullptr) i = (i + 1) & mask_;
    slots_[i] = slot;
}

void StrEntryCache::grow() {
    std::vector<Slot> fresh(slots_.empty() ? 64 : slots_.size() * 2);
    fresh.swap(slots_);
    mask_ = slots_.size() - 1;
    for (const Slot& slot : fresh) {
        if (slot.key != nullptr) place(slot);
    }
}

void StrEntryCache::clear() noexcept {
    if (held_) {
        for (Slot& slot : slots_) Py_XDECREF(slot.key);
    }
    slots_.clear();
    used_ = 0;
}

std::string_view str_text(PyObject* str, std::string& scratch) {
    if (PyUnicode_IS_ASCII(str)) {
        return {static_cast<const char*>(PyUnicode_DATA(str)),
                static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))};
    }
    scratch.clear();
    append_str_utf8(scratch, str);
    return scratch;
}

void push_str_label(LabelColumn& labels, PyObject* str, StrEntryCache* cache,
                    std::string& scratch) {
    if (cache == nullptr || !cache->active()) {
        labels.push_label(str_text(str, scratch));
        return;
    }
    std::uint32_t entry = cache->find(str);
    if (entry == kNoEntry) {
        entry = labels.add_entry(str_text(str, scratch));
        cache->insert(str, entry);
    }
    labels.push_row(entry);
}

}  // namespace quorlin
