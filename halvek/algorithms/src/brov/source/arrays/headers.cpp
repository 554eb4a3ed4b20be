// Compiles every header of this folder in the arrays library, which is built without Python's
// include directory: a header here that reaches for the interpreter fails the build.
#include "arrays/csr.hpp"
#include "arrays/cut_exact.hpp"
#include "arrays/cut_sweep.hpp"
#include "arrays/cut_types.hpp"
#include "arrays/cutting.hpp"
#include "arrays/emst.hpp"
#include "arrays/leaf_peel.hpp"
#include "arrays/max_rule.hpp"
#include "arrays/tree_sides.hpp"
