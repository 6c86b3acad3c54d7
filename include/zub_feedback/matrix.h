// The numeric core's matrix: doubles in row-major order, rows = monitors,
// columns = correctors, owned (`matrix`) or a caller's own memory seen
// through a view (`matrix_view`, `const_matrix_view`). Framework-free: this
// header needs nothing but the standard library.
#ifndef ZUB_FEEDBACK_MATRIX_H
#define ZUB_FEEDBACK_MATRIX_H

#include <cstddef>
#include <vector>

namespace zub_feedback {

// A read-only view of rows x cols doubles; element (i, j) at
// data[i * stride + j]. The memory stays the caller's and must outlive the
// view. A default view is empty (0 x 0).
class const_matrix_view {
 public:
  const_matrix_view() = default;
  const_matrix_view(const double* data, std::size_t rows, std::size_t cols)
      : const_matrix_view(data, rows, cols, cols) {}
  // `stride` >= cols: the distance between the starts of two rows.
  const_matrix_view(const double* data, std::size_t rows, std::size_t cols,
                    std::size_t stride)
      : data_(data), rows_(rows), cols_(cols), stride_(stride) {}

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  std::size_t stride() const { return stride_; }
  bool empty() const { return rows_ == 0 || cols_ == 0; }
  const double* data() const { return data_; }
  const double* row(std::size_t i) const { return data_ + i * stride_; }
  double operator()(std::size_t i, std::size_t j) const {
    return data_[i * stride_ + j];
  }

 private:
  const double* data_ = nullptr;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::size_t stride_ = 0;
};

// A writable view of a caller's memory, as const_matrix_view.
class matrix_view {
 public:
  matrix_view() = default;
  matrix_view(double* data, std::size_t rows, std::size_t cols)
      : matrix_view(data, rows, cols, cols) {}
  matrix_view(double* data, std::size_t rows, std::size_t cols,
              std::size_t stride)
      : data_(data), rows_(rows), cols_(cols), stride_(stride) {}

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  std::size_t stride() const { return stride_; }
  bool empty() const { return rows_ == 0 || cols_ == 0; }
  double* data() const { return data_; }
  double* row(std::size_t i) const { return data_ + i * stride_; }
  double& operator()(std::size_t i, std::size_t j) const {
    return data_[i * stride_ + j];
  }
  operator const_matrix_view() const {
    return const_matrix_view(data_, rows_, cols_, stride_);
  }

 private:
  double* data_ = nullptr;
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::size_t stride_ = 0;
};

// An owned rows x cols matrix of doubles, contiguous (stride = cols).
class matrix {
 public:
  matrix() = default;
  matrix(std::size_t rows, std::size_t cols, double fill = 0.0)
      : rows_(rows), cols_(cols), data_(rows * cols, fill) {}
  // A copy of what a view shows.
  explicit matrix(const_matrix_view v) : matrix(v.rows(), v.cols()) {
    for (std::size_t i = 0; i < rows_; ++i) {
      for (std::size_t j = 0; j < cols_; ++j) data_[i * cols_ + j] = v(i, j);
    }
  }

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  std::size_t size() const { return data_.size(); }
  bool empty() const { return rows_ == 0 || cols_ == 0; }
  double* data() { return data_.data(); }
  const double* data() const { return data_.data(); }
  double& operator()(std::size_t i, std::size_t j) {
    return data_[i * cols_ + j];
  }
  double operator()(std::size_t i, std::size_t j) const {
    return data_[i * cols_ + j];
  }

  matrix_view view() { return matrix_view(data_.data(), rows_, cols_); }
  const_matrix_view view() const {
    return const_matrix_view(data_.data(), rows_, cols_);
  }
  operator const_matrix_view() const { return view(); }

  // Same shape and exactly equal elements (a NaN is unequal to itself).
  friend bool operator==(const matrix& a, const matrix& b) {
    return a.rows_ == b.rows_ && a.cols_ == b.cols_ && a.data_ == b.data_;
  }
  friend bool operator!=(const matrix& a, const matrix& b) { return !(a == b); }

 private:
  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  std::vector<double> data_;
};

}  // namespace zub_feedback

#endif  // ZUB_FEEDBACK_MATRIX_H
