// lh_check.h - the table invariant checker as a GoogleTest assertion.
#ifndef NIVRA_TESTS_LH_CHECK_H
#define NIVRA_TESTS_LH_CHECK_H

#include <gtest/gtest.h>

#include <string>

#include "lh_invariants.h"

// Use as ASSERT_TRUE(LhCheck(t)).
inline ::testing::AssertionResult LhCheck(const LH_TABLE *t) {
    std::string why;
    if (lh_check(t, &why)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << why;
}

#endif  // NIVRA_TESTS_LH_CHECK_H
