#include "python/py_array_cells.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "module/failure.hpp"
#include "python/py_column_feed.hpp"
#include "python/py_item_scan.hpp"
#include "python/utf8_append.hpp"

namespace quorlin {

namespace {

template <class T>
T load(const char* p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
}

// IEEE half precision to double, exactly (every half is a double).
double half_to_double(std::uint16_t h) noexcept {
    std::uint64_t sign = static_cast<std::uint64_t>(h & 0x8000u) << 48;
    unsigned exponent = (h >> 10) & 0x1Fu;
    std::uint64_t mantissa = h & 0x3FFu;
    if (exponent == 0x1F) {
        // Infinity or NaN, payload kept in the top mantissa bits.
        return std::bit_cast<double>(sign | 0x7FF0000000000000ull | (mantissa << 42));
    }
    if (exponent == 0) {
        // Zero or subnormal: mantissa x 2^-24.
        double magnitude = static_cast<double>(mantissa) * 0x1p-24;
        return sign != 0 ? -magnitude : magnitude;
    }
    std::uint64_t biased = exponent - 15 + 1023;
    return std::bit_cast<double>(sign | (biased << 52) | (mantissa << 42));
}

double signed_at(const char* p, std::size_t size) noexcept {
    switch (size) {
        case 1:
            return static_cast<double>(load<std::int8_t>(p));
        case 2:
            return static_cast<double>(load<std::int16_t>(p));
        case 4:
            return static_cast<double>(load<std::int32_t>(p));
        default:
            return static_cast<double>(load<std::int64_t>(p));
    }
}

double unsigned_at(const char* p, std::size_t size) noexcept {
    switch (size) {
        case 1:
            return static_cast<double>(load<std::uint8_t>(p));
        case 2:
            return static_cast<double>(load<std::uint16_t>(p));
        case 4:
            return static_cast<double>(load<std::uint32_t>(p));
        default:
            return static_cast<double>(load<std::uint64_t>(p));
    }
}

}  // namespace

double number_at(const char* p, DirectKind kind, std::size_t size) noexcept {
    switch (kind) {
        case DirectKind::Bool:
            return *p != 0 ? 1.0 : 0.0;
        case DirectKind::Int:
            return signed_at(p, size);
        case DirectKind::UInt:
            return unsigned_at(p, size);
        case DirectKind::Half:
            return half_to_double(load<std::uint16_t>(p));
        case DirectKind::Float:
            return static_cast<double>(load<float>(p));
        default:
            return load<double>(p);
    }
}

namespace {

void scan_numbers(TableScan& scan, std::size_t c, const ColumnCells& cells, SignalCheck& signals) {
    const char* p = cells.data;
    for (std::size_t r = 0; r < scan.rows(); ++r, p += cells.stride) {
        signals.step();
        scan.put_number(r, c, number_at(p, cells.kind, cells.itemsize));
    }
}

void scan_objects(TableScan& scan, std::size_t c, const ColumnCells& cells, SignalCheck& signals) {
    ColumnFeed feed(scan, c, /*cells_stay_alive=*/true);
    const char* p = cells.data;
    for (std::size_t r = 0; r < scan.rows(); ++r, p += cells.stride) {
        signals.step();
        PyObject* cell = load<PyObject*>(p);
        // An unset slot reads as None, as item access gives it. The cell is held while its
        // conversions run, since they may run code that replaces it in the array.
        PyRef held = PyRef::borrow(cell != nullptr ? cell : Py_None);
        feed.object(r, held.get());
    }
}

// Unicode cells: UCS4 code points without their trailing NULs, as item access gives them.
// Such a cell is never a number (NumPy's str scalar has no float conversion).
void scan_unicode(TableScan& scan, std::size_t c, const ColumnCells& cells, PyObject* values,
                  SignalCheck& signals) {
    ColumnFeed feed(scan, c, /*cells_stay_alive=*/true);
    std::size_t width = cells.itemsize / 4;
    std::vector<std::uint32_t> units(width);
    std::string label;
    const char* p = cells.data;
    for (std::size_t r = 0; r < scan.rows(); ++r, p += cells.stride) {
        signals.step();
        if (width > 0) std::memcpy(units.data(), p, width * 4);
        std::size_t length = width;
        while (length > 0 && units[length - 1] == 0) --length;
        label.clear();
        if (append_utf8(label, units.data(), length)) {
            feed.text(r, label);
            continue;
        }
        // Not Unicode: what item access makes of it (NumPy versions differ) decides.
        if (values == nullptr) throw InternalFailure("text cell beyond U+10FFFF");
        PyRef cell = fetch_cell(values, r, c);
        feed.object(r, cell.get());
    }
}

}  // namespace

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

void scan_column_cells(TableScan& scan, std::size_t c, const ColumnCells& cells, PyObject* values,
                       SignalCheck& signals) {
    switch (cells.kind) {
        case DirectKind::Object:
            scan_objects(scan, c, cells, signals);
            break;
        case DirectKind::Unicode:
            scan_unicode(scan, c, cells, values, signals);
            break;
        case DirectKind::None:
            throw InternalFailure("column cells without a direct reading");
        default:
            scan_numbers(scan, c, cells, signals);
            break;
    }
}

}  // namespace quorlin
