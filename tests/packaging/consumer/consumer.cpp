// SPDX-License-Identifier: Apache-2.0
// The C consumer built as C++, to check that the public headers are usable
// from C++ through find_package(SignedImage).
#include "consumer.c"
