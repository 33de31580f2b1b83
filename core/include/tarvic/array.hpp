#pragma once
// Plain array views and owned row-major buffers shared by the core and the binding.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tarvic {

/// Read-only 2-D view of float64 values; strides are in elements and may be any sign.
struct CloudView {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 1;

    /// Element (r, c), honouring the strides.
    double at(std::size_t r, std::size_t c) const {
        return data[static_cast<std::ptrdiff_t>(r) * row_stride + static_cast<std::ptrdiff_t>(c) * col_stride];
    }
    /// True when the rows × cols values lie as one flat row-major run.
    bool row_major_contiguous() const { return col_stride == 1 && row_stride == static_cast<std::ptrdiff_t>(cols); }
};

/// Owned, row-major rows × cols float64 array.
struct Array2 {
    std::vector<double> values;
    std::size_t rows = 0;
    std::size_t cols = 0;

    Array2() = default;
    /// Zero-filled rows × cols array.
    Array2(std::size_t r, std::size_t c) : values(r * c, 0.0), rows(r), cols(c) {}
    double& operator()(std::size_t r, std::size_t c) { return values[r * cols + c]; }
    double operator()(std::size_t r, std::size_t c) const { return values[r * cols + c]; }
    /// A view over this array (valid while the array lives and is not resized).
    CloudView view() const {
        return CloudView{values.data(), rows, cols, static_cast<std::ptrdiff_t>(cols), 1};
    }
};

/// The affine map p ↦ matrix · p + translation (column vectors); as data, e.g. a fit's starting transform.
struct Affine3 {
    double matrix[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};  // row i, column j
    double translation[3] = {0, 0, 0};
};

/// Row-major view over a flat buffer of rows × 3 values.
inline CloudView view_rows3(const double* data, std::size_t rows) {
    return CloudView{data, rows, 3, 3, 1};
}

}  // namespace tarvic
