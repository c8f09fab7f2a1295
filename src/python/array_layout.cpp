#include "python/array_layout.hpp"

#include <algorithm>

namespace quorlin {

DirectKind direct_kind(PyArray_Descr* descr) {
    if (!PyDataType_ISNOTSWAPPED(descr)) return DirectKind::None;
    switch (descr->type_num) {
        case NPY_OBJECT:
            return DirectKind::Object;
        case NPY_BOOL:
            return DirectKind::Bool;
        case NPY_BYTE:
        case NPY_SHORT:
        case NPY_INT:
        case NPY_LONG:
        case NPY_LONGLONG:
            return DirectKind::Int;
        case NPY_UBYTE:
        case NPY_USHORT:
        case NPY_UINT:
        case NPY_ULONG:
        case NPY_ULONGLONG:
            return DirectKind::UInt;
        case NPY_HALF:
            return DirectKind::Half;
        case NPY_FLOAT:
            return DirectKind::Float;
        case NPY_DOUBLE:
            return DirectKind::Double;
        case NPY_UNICODE:
            return DirectKind::Unicode;
        default:
            return DirectKind::None;
    }
}

ArrayLayout::Shape::Shape(PyArrayObject* a)
    : array(PyRef::borrow(reinterpret_cast<PyObject*>(a))),
      descr(PyRef::borrow(reinterpret_cast<PyObject*>(PyArray_DESCR(a)))),
      data(PyArray_DATA(a)),
      ndim(PyArray_NDIM(a)),
      dims(PyArray_DIMS(a), PyArray_DIMS(a) + ndim),
      strides(PyArray_STRIDES(a), PyArray_STRIDES(a) + ndim) {}

bool ArrayLayout::Shape::same() const noexcept {
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    if (PyArray_DATA(a) != data || PyArray_NDIM(a) != ndim ||
        reinterpret_cast<PyObject*>(PyArray_DESCR(a)) != descr.get()) {
        return false;
    }
    for (int i = 0; i < ndim; ++i) {
        if (PyArray_DIM(a, i) != dims[i] || PyArray_STRIDE(a, i) != strides[i]) return false;
    }
    return true;
}

namespace {

// The array that owns the memory of view `array`: the last array of its chain of bases (one
// that owns its data, or whose base is another kind of object).
PyArrayObject* memory_owner(PyArrayObject* array) {
    PyArrayObject* owner = array;
    while (!PyArray_CHKFLAGS(owner, NPY_ARRAY_OWNDATA)) {
        PyObject* base = PyArray_BASE(owner);
        if (base == nullptr || !PyArray_Check(base)) break;
        owner = reinterpret_cast<PyArrayObject*>(base);
    }
    return owner;
}

}  // namespace

ArrayLayout::ArrayLayout(PyArrayObject* array) : own_(array) {
    PyArrayObject* owner = memory_owner(array);
    if (owner != array) owner_.emplace(owner);
}

void HeldArrays::hold(PyObject* array) {
    layouts_.emplace_back(reinterpret_cast<PyArrayObject*>(array));
}

bool HeldArrays::unchanged() const noexcept {
    return std::all_of(layouts_.begin(), layouts_.end(),
                       [](const ArrayLayout& layout) { return layout.unchanged(); });
}

}  // namespace quorlin
