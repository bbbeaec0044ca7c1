// The program-wide state: the matrix A and the result vector B.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t ROWS = 4;
inline constexpr std::size_t COLS = 5;

using Row = std::array<std::int32_t, COLS>;
using Matrix = std::array<Row, ROWS>;

// Zero at start. Each row is contiguous, so it can be sorted as a range.
extern Matrix A;
// One entry per row of A: 1 where the row's check found an increasing sequence, else 0.
// Only the row check writes it; entering, sorting or loading A leaves it as it was.
extern std::array<std::int32_t, ROWS> B;
