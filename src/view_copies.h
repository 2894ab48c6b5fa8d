// Included in Eigen's Matrix class (EIGEN_MATRIX_PLUGIN, CMakeLists.txt): no Vector or Matrix
// is constructed from a view of a vector of doubles. The core reads the caller's rows through
// VectorView and ColumnView (types.h); a view passed where a `const Vector&` is taken, or bound
// to one, would silently copy all of them. Such code does not compile; a copy that is meant is
// an assignment to a sized Vector.
template <int ViewOptions, typename ViewStride>
Matrix(const Ref<const Matrix<double, Dynamic, 1>, ViewOptions, ViewStride>&) = delete;
template <int ViewOptions, typename ViewStride>
Matrix(const Map<const Matrix<double, Dynamic, 1>, ViewOptions, ViewStride>&) = delete;
template <int ViewOptions, typename ViewStride>
Matrix(const Map<Matrix<double, Dynamic, 1>, ViewOptions, ViewStride>&) = delete;
