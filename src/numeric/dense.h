#pragma once
// Dense matrices held column by column: element (i, j) of a matrix with
// `rows` rows sits at j * rows + i.  This is the one place that layout is
// written down; the procedure, the factoring extension and the tests all
// index through it.
//
// A view does not own its elements; it is a pointer and a shape, cheap to
// pass by value.  The routines below take views and check their shapes on
// entry in debug builds (NDEBUG unset), as the rest of the library does.

#include <cassert>
#include <cstddef>
#include <vector>

namespace kav {

// Offset of element (i, j) in a column-major matrix with `rows` rows.
constexpr std::size_t dense_index(long i, long j, long rows) {
  return static_cast<std::size_t>(j) * static_cast<std::size_t>(rows) + static_cast<std::size_t>(i);
}

template <class T>
class DenseView {
 public:
  DenseView(T* data, int rows, int cols) : data_(data), rows_(rows), cols_(cols) {
    assert(rows >= 0 && cols >= 0 && (data || rows == 0 || cols == 0));
  }
  // A view of the same elements that cannot change them.
  operator DenseView<const T>() const { return {data_, rows_, cols_}; }

  T& at(int i, int j) const {
    assert(i >= 0 && i < rows_ && j >= 0 && j < cols_);
    return data_[dense_index(i, j, rows_)];
  }
  // Column j: rows() contiguous elements.
  T* column(int j) const {
    assert(j >= 0 && j < cols_);
    return data_ + dense_index(0, j, rows_);
  }
  T* data() const { return data_; }
  int rows() const { return rows_; }
  int cols() const { return cols_; }
  std::size_t size() const { return static_cast<std::size_t>(rows_) * cols_; }

 private:
  T* data_;
  int rows_, cols_;
};

using MatrixView = DenseView<double>;
using ConstMatrixView = DenseView<const double>;

// A dense matrix that owns its elements, zero on creation.
class DenseMatrix {
 public:
  DenseMatrix() = default;
  DenseMatrix(int rows, int cols)
      : v_(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols), 0.0),
        rows_(rows),
        cols_(cols) {}
  double& at(int i, int j) { return view().at(i, j); }
  double at(int i, int j) const { return view().at(i, j); }
  MatrixView view() { return {v_.data(), rows_, cols_}; }
  ConstMatrixView view() const { return {v_.data(), rows_, cols_}; }
  operator MatrixView() { return view(); }
  operator ConstMatrixView() const { return view(); }
  int rows() const { return rows_; }
  int cols() const { return cols_; }
  std::vector<double>& values() { return v_; }
  const std::vector<double>& values() const { return v_; }

 private:
  std::vector<double> v_;
  int rows_ = 0, cols_ = 0;
};

// What the dense routines report.
enum class DenseStatus { kOk = 0, kSingular = 1 };

// out = a b; with `add`, out += a b.  out must not overlap a or b.  Each
// element is summed over the inner index in order, so the result does not
// depend on the shapes around it.
void dense_multiply(ConstMatrixView a, ConstMatrixView b, MatrixView out, bool add = false);

// out = a' b.  out must not overlap a or b.
void dense_transpose_multiply(ConstMatrixView a, ConstMatrixView b, MatrixView out);

// The inverse of the square matrix a, by Gauss-Jordan elimination with
// partial pivoting.  A pivot whose magnitude is not above relative_tol times
// the largest |a(i, j)| stops the elimination with kSingular (inv is then
// meaningless).  a is not changed; inv must not overlap it.
DenseStatus dense_invert(ConstMatrixView a, MatrixView inv, double relative_tol);

}  // namespace kav
