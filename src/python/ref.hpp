// One owning handle for PyObject*: move-only, so that every exit releases what it took.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>
#include <vector>

namespace quorlin {

class PyRef {
  public:
    PyRef() noexcept = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(ptr_); }

    // Takes over a new reference (may be null).
    static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
    // Adds a reference to a borrowed one.
    static PyRef borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return PyRef(obj);
    }

    PyObject* get() const noexcept { return ptr_; }
    // Hands the reference back to C; the handle is empty afterwards.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    void reset() noexcept { Py_CLEAR(ptr_); }

  private:
    explicit PyRef(PyObject* obj) noexcept : ptr_(obj) {}
    PyObject* ptr_ = nullptr;
};

// Adds n references to obj in one step: for n cells that a loop pointed at obj without touching
// it, where one Py_INCREF per cell would be a chain of dependent increments of one count, each
// a cache miss at an object made long before. Py_SET_REFCNT leaves an immortal object be, as
// Py_INCREF does.
inline void add_references(PyObject* obj, std::size_t n) noexcept {
    if (n != 0) Py_SET_REFCNT(obj, Py_REFCNT(obj) + static_cast<Py_ssize_t>(n));
}

// add_references for each of `slots`, which name an object (`object_of(slot)`) and the cells
// counted for it (`slot.cells`), the objects loaded a few slots ahead: they lie anywhere, and
// each add would otherwise wait on its own cache miss (half of the calling thread's samples in
// the decode of a column of 500,000 labels).
template <class Slot, class ObjectOf>
void add_counted_references(const std::vector<Slot>& slots, ObjectOf object_of) noexcept {
    constexpr std::size_t kAhead = 8;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (i + kAhead < slots.size() && slots[i + kAhead].cells > 0) {
            __builtin_prefetch(object_of(slots[i + kAhead]), 1);
        }
        add_references(object_of(slots[i]), slots[i].cells);
    }
}

}  // namespace quorlin
