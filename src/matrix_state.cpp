#include "matrix_state.h"

Matrix A{};
std::array<std::int32_t, ROWS> B{};
